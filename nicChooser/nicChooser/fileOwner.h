#pragma once
// Who owns a file, so that rewriting it as another user (an administrator)
// does not take it away from its owner.

#include <QString>

struct fileOwner {
    bool known = false;
    unsigned user = 0;
    unsigned group = 0;
};

/// The owner of the file at path (links followed); unknown where the platform has no such notion.
fileOwner ownerOf(const QString& path);

/// Gives the file at path (links followed) back to owner if it changed; a debug line when that fails.
void restoreOwner(const QString& path, const fileOwner& owner);
