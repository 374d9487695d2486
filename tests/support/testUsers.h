#pragma once
// Users for the tests about rights: running as another user inside the test
// program, and throw-away users made for it (root only).

#include <QString>

#include <sys/types.h>

#include <vector>

#ifndef _WIN32
struct passwd;

/// The groups of user pw, as a login would give them.
std::vector<gid_t> groupsOf(const passwd* pw);
#endif

/// Whether this process is root (and can so become other users).
bool isRoot();

/// Runs as user name (user, group and its supplementary groups) while it lives (root only), so that permission checks
/// apply.
class asUser
{
public:
    explicit asUser(const QString& name);
    ~asUser();
    bool active() const { return dropped; }

private:
    bool dropped = false;
    bool changed = false;
    std::vector<unsigned> rootGroups;
};

/// asUser for "nobody".
class asNobody : public asUser
{
public:
    asNobody() : asUser(QStringLiteral("nobody")) {}
};

/// Two users made for this test program (useradd, root only) and removed
/// again at its end: owner and member, both in group.
struct throwawayUsers {
    QString owner, member, group;
    bool ready = false;
};

/// The throw-away users, made on first use.
const throwawayUsers& testUsers();
