#pragma once
// Finding a file on Linux: a path is followed the way the system follows it,
// one component at a time, and the walk ends holding the folder it found
// open, so that every later step works on that folder, not on the path again.
//
// A ".." after a link climbs out of the folder the link led to. A symbolic
// link, of a folder or of the file, is followed only when the user running
// the tool owns it, root owns it, or its owner also owns what it points to
// (the owner-match rule); any other link is refused with a reason. The
// system's own links in /proc (a process's root, its current folder, its
// open files) are not text but handles: they lead where the kernel leads
// (into another mount namespace, say), by the same owner rule; one that
// leads to a file rather than a folder is refused, as the folder holding
// that file cannot be known.
//
// Part of the Linux file layer, with writerLock.h and fileReplace_unix.cpp.

#include "outcome.h"
#include "unixText.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <sys/stat.h>
#include <sys/types.h>

/// An open file descriptor, closed when it goes.
class descriptor
{
public:
    descriptor() = default;
    explicit descriptor(int fd) : fd_(fd) {}
    ~descriptor() { reset(); }
    descriptor(descriptor&& other) noexcept : fd_(other.release()) {}
    descriptor& operator=(descriptor&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

/// Where a path leads: the folder holding the file, kept open, and the file's name in it.
struct place {
    descriptor folder;           ///< opened with O_PATH
    QByteArray folderPath;       ///< for messages (and the path a caller may hand on, see resolvedPath)
    QByteArray name;             ///< empty when the path leads to a folder itself
    uid_t linkOwner = uid_t(-1); ///< the owner a link followed to the file vouched for; -1 when none did
};

/// One entry a walk passes: the open folder it lies in, that folder's status, the entry's own status (a link not
/// followed) and its path. A climb ("..") is the entry left, seen from the folder above it.
struct walkStep {
    int folder;
    const struct stat& folderStatus;
    const struct stat& entry;
    const QByteArray& path;
};

/// Whether a walk may pass a step: done, or why not.
using walkJudge = std::function<outcome(const walkStep&)>;

/// Follows path as described above into *out; missing when a folder on the way does not exist, unreadable when it
/// cannot be followed otherwise (a refused link, no rights), each with the reason in plain words. A missing last
/// component is no failure: out->name names it. With judge, every step is also put to it, and the walk stops with its
/// outcome.
outcome walkPath(const QByteArray& path, place* out, const walkJudge& judge = walkJudge());

/// The absolute path of the folder open as fd, as the system names it now; empty when it has none (removed, or
/// outside this process's root).
QByteArray resolvedPath(int fd);

/// Same device and inode.
bool sameFile(const struct stat& a, const struct stat& b);

/// folder/name.
QByteArray joined(const QByteArray& folder, const QByteArray& name);

/// A path of the system's, as text for a message.
QString shownPath(const QByteArray& path);
