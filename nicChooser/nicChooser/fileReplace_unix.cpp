#include "fileReplace.h"
#include "pathWalk.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const char* const aclName = "system.posix_acl_access";

enum class opening { opened, missing, failed };

// Opens the file a walk found, for reading, as it is now.
opening openFound(const place& where, descriptor* fd, struct stat* st, QString* why)
{
    if (where.name.isEmpty()) {
        *why = QStringLiteral("it is a folder");
        return opening::failed;
    }
    const int opened =
        ::openat(where.folder.get(), where.name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int error = errno;
    fd->reset(opened);
    if (!fd->valid()) {
        if (error == ENOENT)
            return opening::missing;
        *why =
            error == ELOOP ? QStringLiteral("it was replaced by a link while it was being opened") : errorText(error);
        return opening::failed;
    }
    if (::fstat(fd->get(), st) != 0) {
        *why = errorText(errno);
        return opening::failed;
    }
    if (S_ISDIR(st->st_mode)) {
        *why = QStringLiteral("it is a folder");
        return opening::failed;
    }
    if (!S_ISREG(st->st_mode)) {
        *why = QStringLiteral("it is not a plain file");
        return opening::failed;
    }
    if (where.linkOwner != uid_t(-1) && st->st_uid != where.linkOwner) {
        *why = QStringLiteral("it changed while the link to it was followed");
        return opening::failed;
    }
    return opening::opened;
}

bool readAll(int fd, qint64 sizeHint, QByteArray* data, QString* why)
{
    data->clear();
    *why = tooLarge(sizeHint);
    if (!why->isEmpty())
        return false;
    data->reserve(int(qBound<qint64>(0, sizeHint, maxFileBytes)));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *why = errorText(errno);
            data->clear();
            return false;
        }
        data->append(buffer, int(n));
        // It may grow while it is read.
        *why = tooLarge(data->size());
        if (!why->isEmpty()) {
            data->clear();
            return false;
        }
    }
}

bool writeAll(int fd, const QByteArray& data)
{
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// Gives the unnamed file fd the name name in folder.
bool linkUnnamed(int fd, int folder, const QByteArray& name)
{
    // The direct form needs a capability only root has; /proc serves everyone.
    if (::linkat(fd, "", folder, name.constData(), AT_EMPTY_PATH) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
    return ::linkat(AT_FDCWD, proc.constData(), folder, name.constData(), AT_SYMLINK_FOLLOW) == 0;
}

// A file in folder that has no name yet, so that nothing is left behind if
// the process dies before it is named; with fallback, a file named fallback
// where the system cannot make unnamed files.
descriptor newFileIn(int folder, int access, mode_t mode, const QByteArray& fallback, bool* named)
{
    *named = false;
    descriptor fd(::openat(folder, ".", O_TMPFILE | access | O_CLOEXEC, mode));
    if (!fd.valid() && errno != EACCES && errno != EROFS && errno != ENOSPC && errno != EDQUOT) {
        fd.reset(::openat(folder, fallback.constData(), O_CREAT | O_EXCL | access | O_CLOEXEC, mode));
        *named = fd.valid();
    }
    return fd;
}

using attributeMap = std::map<QByteArray, QByteArray>;

// Every extended attribute of fd this user can see, with its value.
bool attributesOf(int fd, attributeMap* out, QString* why)
{
    out->clear();
    QByteArray names;
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0) {
            if (errno == ENOTSUP)
                return true;
            *why = errorText(errno);
            return false;
        }
        names.resize(int(size));
        const ssize_t n = ::flistxattr(fd, names.data(), size_t(names.size()));
        if (n >= 0) {
            names.truncate(int(n));
            break;
        }
        if (errno != ERANGE) {
            *why = errorText(errno);
            return false;
        }
    }
    for (const QByteArray& name : names.split('\0')) {
        if (name.isEmpty())
            continue;
        QByteArray value;
        for (;;) {
            const ssize_t size = ::fgetxattr(fd, name.constData(), nullptr, 0);
            if (size < 0) {
                *why = QStringLiteral("%1: %2").arg(QString::fromLatin1(name), errorText(errno));
                return false;
            }
            value.resize(int(size));
            const ssize_t n = ::fgetxattr(fd, name.constData(), value.data(), size_t(value.size()));
            if (n >= 0) {
                value.truncate(int(n));
                break;
            }
            if (errno != ERANGE) {
                *why = QStringLiteral("%1: %2").arg(QString::fromLatin1(name), errorText(errno));
                return false;
            }
        }
        (*out)[name] = value;
    }
    return true;
}

QString attributeProblem(const QByteArray& name, int error)
{
    if (name == aclName)
        return QStringLiteral("its access control list cannot be given to the new file (%1)").arg(errorText(error));
    return QStringLiteral(
               "it carries the extended attribute %1, which you may not set; replacing it would drop it (%2)")
        .arg(QString::fromLatin1(name), errorText(error));
}

// Makes the new file what the old one was: owner, group, extended attributes
// (the access control list among them) and permissions, and checks it.
// Empty when it is, otherwise why not.
QString keepAttributes(int oldFd, int newFd, const struct stat& old)
{
    QString why;
    struct stat now;
    if (::fstat(newFd, &now) != 0)
        return errorText(errno);
    // Owner first: giving a file away clears its set-ID bits and
    // capabilities, which are put back below.
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && ::fchown(newFd, old.st_uid, old.st_gid) != 0) {
        if (now.st_uid != old.st_uid)
            return QStringLiteral("the file belongs to %1 and the new file cannot be given to them (%2)")
                .arg(userName(old.st_uid), errorText(errno));
        return QStringLiteral(
                   "the file's group is %1, which you are not a member of; replacing it would change its group")
            .arg(groupName(old.st_gid));
    }
    attributeMap want, have;
    if (!attributesOf(oldFd, &want, &why))
        return QStringLiteral("its extended attributes cannot be read: %1").arg(why);
    if (!attributesOf(newFd, &have, &why))
        return QStringLiteral("the new file's extended attributes cannot be read: %1").arg(why);
    // Such as an access control list the folder hands to every new file.
    for (const auto& a : have)
        if (!want.count(a.first) && ::fremovexattr(newFd, a.first.constData()) != 0)
            return QStringLiteral("the new file cannot be rid of the attribute %1 it got from its folder (%2)")
                .arg(QString::fromLatin1(a.first), errorText(errno));
    for (const auto& a : want) {
        const auto h = have.find(a.first);
        if ((h == have.end() || h->second != a.second)
            && ::fsetxattr(newFd, a.first.constData(), a.second.constData(), size_t(a.second.size()), 0) != 0)
            return attributeProblem(a.first, errno);
    }
    // After the access control list, whose mask the group bits mirror.
    if (::fchmod(newFd, old.st_mode & 07777) != 0)
        return QStringLiteral("the permissions cannot be kept (%1)").arg(errorText(errno));

    if (::fstat(newFd, &now) != 0 || !attributesOf(newFd, &have, &why))
        return QStringLiteral("the new file cannot be checked (%1)").arg(why.isEmpty() ? errorText(errno) : why);
    if (now.st_uid != old.st_uid || now.st_gid != old.st_gid || (now.st_mode & 07777) != (old.st_mode & 07777))
        return QStringLiteral(
                   "the new file did not keep the owner, group and permissions (%1:%2 %3 instead of %4:%5 %6)")
            .arg(userName(now.st_uid), groupName(now.st_gid), QString::number(now.st_mode & 07777, 8),
                 userName(old.st_uid), groupName(old.st_gid), QString::number(old.st_mode & 07777, 8));
    if (have != want)
        return QStringLiteral("the new file did not keep the extended attributes");
    return QString();
}

replaceFacts factsAbout(const place& where, const struct stat* st)
{
    replaceFacts facts;
    const uid_t user = ::geteuid();
    facts.exists = st != nullptr;
    if (st) {
        facts.anyWriteBit = (st->st_mode & 0222) != 0;
        facts.mayWriteFile =
            ::faccessat(where.folder.get(), where.name.constData(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
        facts.keepsOwner = user == 0 || user == st->st_uid;
        facts.owner = userName(st->st_uid);
    }
    facts.mayWriteFolder = ::faccessat(where.folder.get(), ".", W_OK | X_OK, AT_EACCESS) == 0;
    return facts;
}

// What the writers' lock file must be like: given to owner and group, and
// open to no one beyond mode and the access control list acl.
struct lockShape {
    uid_t owner;
    gid_t group;
    mode_t mode;
    QByteArray acl; // empty: none
};

// Read and write for each class the file grants write to, nothing for the rest.
mode_t writersOnly(mode_t mode)
{
    return ((mode & S_IWUSR) ? 0600 : 0) | ((mode & S_IWGRP) ? 0060 : 0) | ((mode & S_IWOTH) ? 0006 : 0);
}

// The same for every entry of an access control list as the system stores it
// (a 4-byte version, then 8-byte entries: tag, permissions, ID); empty when
// it is not in that form.
QByteArray writersOnlyAcl(const QByteArray& acl)
{
    if (acl.size() < 4 || (acl.size() - 4) % 8 != 0)
        return QByteArray();
    QByteArray out = acl;
    for (int at = 4; at < out.size(); at += 8) {
        quint16 perm;
        std::memcpy(&perm, out.constData() + at + 2, 2);
        perm = (perm & 2) ? 6 : 0;
        std::memcpy(out.data() + at + 2, &perm, 2);
    }
    return out;
}

QByteArray aclOf(int fd)
{
    QByteArray acl(1024, '\0');
    const ssize_t n = ::fgetxattr(fd, aclName, acl.data(), size_t(acl.size()));
    return n > 0 ? acl.left(int(n)) : QByteArray();
}

lockShape shapeFor(const struct stat* target, int targetFd)
{
    // The first writer of a new file makes it; only that writer (and root)
    // can be sure to be allowed in, and the file will be theirs.
    if (!target)
        return lockShape{::geteuid(), ::getegid(), 0600, QByteArray()};
    const QByteArray acl = aclOf(targetFd);
    return lockShape{target->st_uid, target->st_gid, writersOnly(target->st_mode),
                     acl.isEmpty() ? acl : writersOnlyAcl(acl)};
}

// Opens the lock to no one the shape does not: right owner, nothing beyond
// its permissions, and its group only if that group is the shape's.
bool lockFits(const struct stat& st, const QByteArray& acl, const lockShape& shape)
{
    const mode_t mode = st.st_mode & 07777;
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != shape.owner || (mode & ~shape.mode) != 0)
        return false;
    if ((mode & 0070) && st.st_gid != shape.group)
        return false;
    return acl.isEmpty() || acl == shape.acl;
}

// Where the system cannot make unnamed files, a lock file is made under a
// name of this process's own, so that one left by a writer killed at that
// moment never stands in another's way.
QByteArray ownLockName(const QByteArray& lockName)
{
    return lockName + "-new." + QByteArray::number(::getpid());
}

// A lock file of the given shape that no one else knows yet, locked; if
// *named, it is called ownLockName(lockName).
descriptor freshLock(int folder, const QByteArray& lockName, lockShape shape, bool* named, QString* why)
{
    descriptor fd = newFileIn(folder, O_RDWR, 0600, ownLockName(lockName), named);
    if (!fd.valid()) {
        *why = QStringLiteral("its lock file cannot be made: %1").arg(errorText(errno));
        return fd;
    }
    auto giveUp = [&](const QString& reason) {
        *why = reason;
        fd.reset();
        if (*named)
            ::unlinkat(folder, ownLockName(lockName).constData(), 0);
        return std::move(fd);
    };
    auto ownerOnly = [&] {
        shape.mode &= 0700;
        shape.acl.clear();
    };
    struct stat st;
    ::fstat(fd.get(), &st);
    if ((st.st_uid != shape.owner || st.st_gid != shape.group) && ::fchown(fd.get(), shape.owner, shape.group) != 0) {
        // Not a member of the file's group: then the lock is the owner's alone.
        if (st.st_uid != shape.owner)
            return giveUp(
                QStringLiteral("its lock file cannot be given to %1: %2").arg(userName(shape.owner), errorText(errno)));
        ownerOnly();
    }
    if (!shape.acl.isEmpty() && ::fsetxattr(fd.get(), aclName, shape.acl.constData(), size_t(shape.acl.size()), 0) != 0)
        ownerOnly();
    if (shape.acl.isEmpty() && ::fremovexattr(fd.get(), aclName) != 0 && errno != ENODATA && errno != ENOTSUP)
        return giveUp(QStringLiteral("its lock file cannot be rid of the access control list of its folder: %1")
                          .arg(errorText(errno)));
    if (::fchmod(fd.get(), shape.mode) != 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return giveUp(QStringLiteral("its lock file cannot be prepared: %1").arg(errorText(errno)));
    return fd;
}

bool stillNamed(int folder, const QByteArray& name, int fd)
{
    struct stat named, held;
    return ::fstatat(folder, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &held) == 0
           && sameFile(named, held);
}

enum class lockStep { held, again, failed };

// Puts a fresh, already locked lock file in the place of one nobody may
// trust, without a moment in which two writers could both think they hold
// the lock: the two are swapped, and if what came out is not the one found
// wanting, another writer got there first and it is swapped back.
lockStep replaceLock(int folder, const QByteArray& lockName, const struct stat& found, const lockShape& shape,
                     descriptor* held, QString* why)
{
    bool named = false;
    descriptor fresh = freshLock(folder, lockName, shape, &named, why);
    if (!fresh.valid())
        return lockStep::failed;
    const QByteArray temp = named ? ownLockName(lockName) : lockName + "-new";
    if (!named) {
        ::unlinkat(folder, temp.constData(), 0); // a leftover, or a racing writer's (which then tries again)
        if (!linkUnnamed(fresh.get(), folder, temp)) {
            if (errno == EEXIST)
                return lockStep::again;
            *why = QStringLiteral("its lock file cannot be replaced: %1").arg(errorText(errno));
            return lockStep::failed;
        }
    }
    if (::renameat2(folder, temp.constData(), folder, lockName.constData(), RENAME_EXCHANGE) != 0) {
        if (errno == ENOENT) {
            ::unlinkat(folder, temp.constData(), 0);
            return lockStep::again;
        }
        // A file system that cannot swap: replace outright.
        if (::renameat(folder, temp.constData(), folder, lockName.constData()) != 0) {
            *why = QStringLiteral("its lock file cannot be replaced: %1").arg(errorText(errno));
            ::unlinkat(folder, temp.constData(), 0);
            return lockStep::failed;
        }
    } else {
        struct stat out;
        if (::fstatat(folder, temp.constData(), &out, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(out, found)) {
            ::renameat2(folder, temp.constData(), folder, lockName.constData(), RENAME_EXCHANGE);
            ::unlinkat(folder, temp.constData(), 0);
            return lockStep::again;
        }
        ::unlinkat(folder, temp.constData(), 0);
    }
    *held = std::move(fresh);
    return lockStep::held;
}

// Takes the writers' lock beside the file where found; see the header.
bool takeLock(const place& where, const lockShape& shape, int timeoutMs, descriptor* held, QString* why)
{
    const int folder = where.folder.get();
    const QByteArray lockName = '.' + where.name + ".nicChooser-lock";
    const QString lockPath = shownPath(joined(where.folderPath, lockName));
    QElapsedTimer clock;
    clock.start();
    auto timedOut = [&] {
        *why = QStringLiteral(
                   "someone who may change it kept it locked for %1 seconds (another copy of nicChooser, perhaps)")
                   .arg(timeoutMs / 1000.0);
        qDebug() << "Another writer holds" << lockPath << "; gave up after" << timeoutMs << "ms";
        return false;
    };
    for (;;) {
        if (clock.elapsed() > timeoutMs)
            return timedOut();
        struct stat found;
        if (::fstatat(folder, lockName.constData(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                *why = QStringLiteral("its lock file cannot be checked: %1").arg(errorText(errno));
                return false;
            }
            bool named = false;
            descriptor fresh = freshLock(folder, lockName, shape, &named, why);
            const QByteArray temp = ownLockName(lockName);
            if (!fresh.valid())
                return false;
            const bool linked = named ? ::linkat(folder, temp.constData(), folder, lockName.constData(), 0) == 0
                                      : linkUnnamed(fresh.get(), folder, lockName);
            const int error = errno;
            if (named)
                ::unlinkat(folder, temp.constData(), 0);
            if (linked) {
                *held = std::move(fresh);
                return true;
            }
            if (error != EEXIST) {
                *why = QStringLiteral("its lock file cannot be made: %1").arg(errorText(error));
                return false;
            }
            continue; // another writer made it first
        }
        if (S_ISDIR(found.st_mode)) {
            *why =
                QStringLiteral("a folder named %1 stands where the writers' lock file belongs; remove it and try again")
                    .arg(lockPath);
            return false;
        }
        descriptor fd;
        bool fits = lockFits(found, QByteArray(), shape);
        if (fits) {
            fd.reset(::openat(folder, lockName.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            struct stat opened;
            if (!fd.valid() && errno == ENOENT)
                continue;
            if (fd.valid() && (::fstat(fd.get(), &opened) != 0 || !sameFile(opened, found)))
                continue;
            fits = fd.valid() && lockFits(opened, aclOf(fd.get()), shape);
        }
        if (!fits) {
            qDebug() << "Replacing" << lockPath << ": it is not a lock file only this file's writers can hold (owner"
                     << userName(found.st_uid) << ", permissions" << QString::number(found.st_mode & 07777, 8) << ")";
            fd.reset();
            switch (replaceLock(folder, lockName, found, shape, held, why)) {
            case lockStep::held: return true;
            case lockStep::failed: return false;
            case lockStep::again: continue;
            }
        }
        while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                *why = QStringLiteral("its lock file cannot be locked: %1").arg(errorText(errno));
                return false;
            }
            if (clock.elapsed() > timeoutMs)
                return timedOut();
            QThread::msleep(5);
        }
        // The lock file may have been replaced while this writer waited.
        if (stillNamed(folder, lockName, fd.get())) {
            *held = std::move(fd);
            return true;
        }
    }
}

} // namespace

struct fileEditState {
    QString refusal; // why it may not be replaced; empty when it may
    place where;
    descriptor lock;
    descriptor file;  // the file as read; invalid when it was missing
    struct stat read; // and what it was then
};

int maxPathBytes()
{
    return 0;
}

QString environmentText(const char* name)
{
    if (!qEnvironmentVariableIsSet(name))
        return QString();
    return textFromSystem(qgetenv(name));
}

bool readWholeFile(const QString& path, QByteArray* data, bool* missing, QString* reason)
{
    data->clear();
    *missing = false;
    auto fail = [&](const QString& why) {
        qDebug() << "Can't read" << path << ":" << why;
        if (reason)
            *reason = why;
        return false;
    };
    place where;
    QString why;
    if (!walkPath(systemBytes(path), &where, &why))
        return fail(why);
    descriptor fd;
    struct stat st;
    switch (openFound(where, &fd, &st, &why)) {
    case opening::missing: *missing = true; return true;
    case opening::failed: return fail(why);
    case opening::opened: break;
    }
    return readAll(fd.get(), st.st_size, data, &why) || fail(why);
}

fileEdit::fileEdit(const QString& path, bool mayCreate, int lockTimeoutMs) : path_(path), state_(new fileEditState)
{
    fileEditState& s = *state_;
    QString why;
    const bool done = [&] {
        auto unread = [&](const QString& reason) {
            qDebug() << "Can't read" << path << ":" << reason;
            reason_ = reason;
            unreadable_ = true;
            return false;
        };
        auto refuse = [&](const QString& reason) {
            qDebug() << "Not writing" << path << ":" << reason;
            reason_ = reason;
            return false;
        };
        if (!walkPath(systemBytes(path), &s.where, &why))
            return unread(why);
        for (int look = 0; look < 2; ++look) {
            // First to refuse what could never be written before anyone is
            // made to wait, then, locked, to read what is there now.
            switch (openFound(s.where, &s.file, &s.read, &why)) {
            case opening::failed: return unread(why);
            case opening::missing:
                missing_ = true;
                if (!mayCreate) {
                    reason_ = QStringLiteral("it does not exist");
                    return false;
                }
                break;
            case opening::opened: missing_ = false; break;
            }
            // A copy that may not write makes no one wait; it still reads, to
            // tell whether anything needed writing at all.
            s.refusal = replaceRefusal(factsAbout(s.where, missing_ ? nullptr : &s.read));
            if (!s.refusal.isEmpty() || s.lock.valid())
                break;
            if (!takeLock(s.where, shapeFor(missing_ ? nullptr : &s.read, s.file.get()), lockTimeoutMs, &s.lock, &why))
                return refuse(why);
        }
        return missing_ || readAll(s.file.get(), s.read.st_size, &bytes_, &why) || unread(why);
    }();
    ready_ = done;
}

fileEdit::~fileEdit() = default;

bool fileEdit::replace(const QByteArray& data)
{
    if (!ready_)
        return false;
    fileEditState& s = *state_;
    const int folder = s.where.folder.get();
    const QByteArray& name = s.where.name;
    const QByteArray temp = '.' + name + ".nicChooser-new";
    auto refuse = [&](const QString& why) {
        qDebug() << "Can't write" << path_ << ":" << why << "; the old file is untouched";
        reason_ = why;
        return false;
    };

    if (!s.refusal.isEmpty())
        return refuse(s.refusal);
    // Other programs do not take the lock: make sure the name still holds
    // exactly what was read.
    struct stat now;
    const bool exists = ::fstatat(folder, name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists != s.file.valid() || (exists && !sameFile(now, s.read)))
        return refuse(QStringLiteral("it was changed by another program while it was being edited"));
    struct stat old;
    if (exists && ::fstat(s.file.get(), &old) != 0)
        return refuse(errorText(errno));
    const QString refusal = replaceRefusal(factsAbout(s.where, exists ? &old : nullptr));
    if (!refusal.isEmpty())
        return refuse(refusal);

    // Only a writer killed between naming its file and renaming it leaves
    // one; with the lock held nobody else is using the name.
    if (::unlinkat(folder, temp.constData(), 0) == 0)
        qDebug() << "Removed" << shownPath(joined(s.where.folderPath, temp))
                 << ", left by a writer that did not finish";

    bool named = false;
    // A new file gets what the folder gives; a replacement is made private
    // until it has the old file's attributes.
    descriptor out = newFileIn(folder, O_WRONLY, exists ? 0600 : 0666, temp, &named);
    if (!out.valid())
        return refuse(errorText(errno));
    auto failed = [&](const QString& why) {
        out.reset();
        if (named)
            ::unlinkat(folder, temp.constData(), 0);
        return refuse(why);
    };
    auto stepFailed = [&](const char* step) {
        return failed(QLatin1String(step) + QLatin1String(" failed: ") + errorText(errno));
    };

    if (!writeAll(out.get(), data))
        return stepFailed("writing");
    if (exists) {
        const QString lost = keepAttributes(s.file.get(), out.get(), old);
        if (!lost.isEmpty())
            return failed(lost);
    }
    if (::fdatasync(out.get()) != 0)
        return stepFailed("flushing");
    if (!named) {
        if (!linkUnnamed(out.get(), folder, temp))
            return stepFailed("naming the new file");
        named = true;
    }
    if (::renameat(folder, temp.constData(), folder, name.constData()) != 0)
        return stepFailed("renaming");

    // Make the rename itself survive a power cut.
    descriptor dir(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        ::fsync(dir.get());
    // A further replace() through this edit starts from the new file.
    ::fstat(out.get(), &s.read);
    s.file = std::move(out);
    return true;
}
