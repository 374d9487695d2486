#include "debugLog.h"
#include "fileAttributes.h"
#include "fileReplace.h"
#include "pathWalk.h"
#include "writerLock.h"

#include <QList>
#include <QRandomGenerator>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

const char tempMark[] = ".nicChooser-new.";
constexpr int randomChars = 12;
constexpr int maxNameTries = 100;
constexpr int maxStarts = 10;

// Opens the file a walk found as it is now, with access (O_RDONLY or
// O_RDWR): done, missing, or unreadable with why.
outcome openFound(const place& where, int access, descriptor* fd, struct stat* st)
{
    if (where.name.isEmpty())
        return {outcome::unreadable, QStringLiteral("it is a folder")};
    const int opened =
        ::openat(where.folder.get(), where.name.constData(), access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int error = errno;
    fd->reset(opened);
    if (!fd->valid()) {
        if (error == ENOENT)
            return {outcome::missing, QStringLiteral("it does not exist")};
        return {outcome::unreadable, error == ELOOP
                                         ? QStringLiteral("it was replaced by a link while it was being opened")
                                         : errorText(error)};
    }
    if (::fstat(fd->get(), st) != 0)
        return {outcome::unreadable, errorText(errno)};
    if (S_ISDIR(st->st_mode))
        return {outcome::unreadable, QStringLiteral("it is a folder")};
    if (!S_ISREG(st->st_mode))
        return {outcome::unreadable, QStringLiteral("it is not a plain file")};
    if (where.linkOwner != uid_t(-1) && st->st_uid != where.linkOwner)
        return {outcome::unreadable, QStringLiteral("it changed while the link to it was followed")};
    return outcome::done;
}

outcome readAll(int fd, qint64 sizeHint, QByteArray* data)
{
    data->clear();
    const outcome small = sizeAllowed(sizeHint);
    if (!small.ok())
        return small;
    data->reserve(int(qBound<qint64>(0, sizeHint, maxFileBytes)));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0)
            return outcome::done;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            data->clear();
            return {outcome::unreadable, errorText(errno)};
        }
        data->append(buffer, int(n));
        // It may grow while it is read.
        const outcome still = sizeAllowed(data->size());
        if (!still.ok()) {
            data->clear();
            return still;
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

// ".<name>.nicChooser-new.": how the temporary files of name begin.
QByteArray tempPrefix(const QByteArray& name)
{
    return '.' + name + tempMark;
}

// A temporary name for name that nobody can guess.
QByteArray randomName(const QByteArray& name)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray out = tempPrefix(name);
    for (int i = 0; i < randomChars; ++i)
        out += letters[QRandomGenerator::system()->bounded(int(sizeof letters - 1))];
    return out;
}

bool isTempName(const QByteArray& entry, const QByteArray& name)
{
    const QByteArray prefix = tempPrefix(name);
    return entry.size() == prefix.size() + randomChars && entry.startsWith(prefix);
}

// A new file in folder that nobody else knows: unnamed, so that nothing is
// left behind if the process dies before it is named; where the system
// cannot make unnamed files, one under an unpredictable name (in *temp)
// that was free, tried again while names are taken.
descriptor newFileIn(int folder, mode_t mode, const QByteArray& name, QByteArray* temp)
{
    temp->clear();
    descriptor fd(::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (fd.valid() || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    for (int i = 0; i < maxNameTries; ++i) {
        const QByteArray candidate = randomName(name);
        fd.reset(::openat(folder, candidate.constData(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd.valid())
            *temp = candidate;
        if (fd.valid() || errno != EEXIST)
            return fd;
    }
    return fd;
}

// Gives the unnamed file fd an unpredictable name in folder that was free.
bool nameNewFile(int fd, int folder, const QByteArray& name, QByteArray* temp)
{
    for (int i = 0; i < maxNameTries; ++i) {
        const QByteArray candidate = randomName(name);
        if (linkUnnamed(fd, folder, candidate)) {
            *temp = candidate;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool stillNamed(int folder, const QByteArray& name, const struct stat& held)
{
    struct stat named;
    return ::fstatat(folder, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(named, held);
}

// Removes the temporary file entry of a writer that did not finish: a plain
// file of this user's or the file's owner's that no writer holds.
void removeLeftover(const place& where, const QByteArray& entry, uid_t fileOwner)
{
    const int folder = where.folder.get();
    struct stat st, opened;
    if (::fstatat(folder, entry.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)
        || (st.st_uid != ::geteuid() && st.st_uid != fileOwner))
        return;
    descriptor fd(::openat(folder, entry.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || !sameFile(opened, st) || !tryWriterLock(fd.get()))
        return;
    if (stillNamed(folder, entry, opened) && ::unlinkat(folder, entry.constData(), 0) == 0)
        ncDebug() << "Removed" << shownPath(joined(where.folderPath, entry))
                  << ", left by a writer that did not finish";
}

// Removes what writers of the file killed between naming their new file and
// renaming it left; only a writer holding the lock may, as only it knows
// that no other is at that step (and a writer there holds its new file's
// lock besides).
void removeLeftovers(const place& where, uid_t fileOwner)
{
    descriptor list(::openat(where.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* dir = list.valid() ? ::fdopendir(list.get()) : nullptr;
    if (!dir)
        return; // a folder this user may not list holds nothing this user could find
    list.release();
    QList<QByteArray> found;
    while (const dirent* e = ::readdir(dir))
        if (isTempName(e->d_name, where.name))
            found << QByteArray(e->d_name);
    ::closedir(dir);
    for (const QByteArray& entry : found)
        removeLeftover(where, entry, fileOwner);
}

// Whether the folder takes new files only (chattr +a): nothing in it can be
// renamed over, and a temporary file could not even be removed again.
bool appendOnly(const place& where)
{
    descriptor dir(::openat(where.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int flags = 0;
    return dir.valid() && ::ioctl(dir.get(), FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL);
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

} // namespace

struct fileEditState {
    outcome replaceable; // whether it may be replaced
    place where;
    descriptor file;       // the file as read (open for writing when it may be replaced); invalid when missing
    struct stat read = {}; // and what it was then
    bool locked = false;   // file holds the writers' lock
    bool appeared = false; // the file replace() was to create was made meanwhile
    bool mayCreate = true;
    int timeoutMs = 0;
    lockWaitHook hook;
};

bool createdMeanwhile(fileEditState& s)
{
    return std::exchange(s.appeared, false);
}

namespace {

// Takes the writers' lock on the file open as s.file, through a descriptor
// open for writing on that very file, which then stands in for it; missing
// when the name no longer holds the file that was read (start over on what
// it holds now).
outcome lockFound(fileEditState& s)
{
    descriptor fd;
    struct stat opened;
    const outcome open = openFound(s.where, O_RDWR, &fd, &opened);
    if (open == outcome::unreadable) // read a moment ago: it cannot be written
        return {outcome::failed, open.reason()};
    if (!open.ok())
        return open;
    if (!sameFile(opened, s.read))
        return outcome::missing;
    const QString shown = shownPath(joined(s.where.folderPath, s.where.name));
    const outcome lock = lockForWriting(fd.get(), s.timeoutMs, s.hook, shown);
    if (lock == outcome::done) {
        // Another writer may have replaced it while this one waited.
        if (!stillNamed(s.where.folder.get(), s.where.name, opened))
            return outcome::missing;
        s.locked = true;
    } else if (lock != outcome::busy) { // readers only are not waited for
        return lock;
    }
    s.file = std::move(fd);
    ::fstat(s.file.get(), &s.read);
    return outcome::done;
}


outcome stepFailed(const char* step)
{
    return {outcome::failed, QLatin1String(step) + QLatin1String(" failed: ") + errorText(errno)};
}

// Names the new file, gives it what the old one has and renames it over the
// old one, which must still be what was read.
outcome swapIn(fileEditState& s, int out, QByteArray* temp)
{
    const int folder = s.where.folder.get();
    const QByteArray& name = s.where.name;
    if (temp->isEmpty() && !nameNewFile(out, folder, name, temp))
        return stepFailed("naming the new file");
    struct stat old;
    if (::fstat(s.file.get(), &old) != 0)
        return stepFailed("examining the file");
    // Only now, named under a name nobody knows, does it become the owner's.
    const outcome kept = keepAttributes(s.file.get(), out, old);
    if (!kept.ok())
        return kept;
    // Other programs do not take the lock.
    if (!stillNamed(folder, name, s.read))
        return {outcome::failed, QStringLiteral("it was changed by another program while it was being edited")};
    if (::renameat(folder, temp->constData(), folder, name.constData()) != 0)
        return stepFailed("renaming");
    temp->clear();
    return outcome::done;
}

// Links the new file in under the name, which must still be free: if another
// writer made the file meanwhile, the edit must start over on that one.
outcome linkIn(fileEditState& s, int out, QByteArray* temp)
{
    const int folder = s.where.folder.get();
    const QByteArray& name = s.where.name;
    const bool linked = temp->isEmpty() ? linkUnnamed(out, folder, name)
                                        : ::linkat(folder, temp->constData(), folder, name.constData(), 0) == 0;
    const int error = errno;
    if (!temp->isEmpty())
        ::unlinkat(folder, temp->constData(), 0);
    temp->clear();
    if (linked)
        return outcome::done;
    s.appeared = error == EEXIST;
    return {outcome::failed, s.appeared ? QStringLiteral("it was created by another writer meanwhile")
                                        : QStringLiteral("naming the new file failed: ") + errorText(error)};
}

// Whether the name still holds what the edit read.
outcome unchangedSinceRead(fileEditState& s)
{
    struct stat now;
    const bool exists = ::fstatat(s.where.folder.get(), s.where.name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists == s.file.valid() && (!exists || sameFile(now, s.read)))
        return outcome::done;
    s.appeared = exists && !s.file.valid();
    return {outcome::failed, s.appeared
                                 ? QStringLiteral("it was created by another writer meanwhile")
                                 : QStringLiteral("it was changed by another program while it was being edited")};
}

// Whether the edit may replace the file with data now.
outcome mayReplaceWith(fileEditState& s, const QByteArray& data)
{
    if (!s.replaceable.ok())
        return s.replaceable;
    if (!sizeAllowed(data.size()).ok())
        return {outcome::tooLarge, QStringLiteral("its new content would be larger than %1 MiB, more than is ever "
                                                  "read back")
                                       .arg(maxFileBytes >> 20)};
    const outcome unchanged = unchangedSinceRead(s);
    if (!unchanged.ok())
        return unchanged;
    return mayReplace(factsAbout(s.where, s.file.valid() ? &s.read : nullptr));
}

// Fills the new file open as out, flushed, and puts it in the file's place.
outcome writeNewFile(fileEditState& s, int out, const QByteArray& data, QByteArray* temp)
{
    // Locked before it takes the name, so that the lock passes from the old
    // file to the new one without a gap.
    if (!tryWriterLock(out))
        return stepFailed("locking the new file");
    if (!writeAll(out, data))
        return stepFailed("writing");
    if (::fdatasync(out) != 0)
        return stepFailed("flushing");
    return s.file.valid() ? swapIn(s, out, temp) : linkIn(s, out, temp);
}

} // namespace

outcome readWholeFile(const QString& path, QByteArray* data)
{
    data->clear();
    place where;
    outcome read = walkPath(systemBytes(path), &where);
    descriptor fd;
    struct stat st;
    if (read.ok())
        read = openFound(where, O_RDONLY, &fd, &st);
    else
        read = {outcome::unreadable, read.reason()}; // a missing folder too: it may not be taken for no file
    if (read.ok())
        read = readAll(fd.get(), st.st_size, data);
    if (!read.ok() && read != outcome::missing)
        ncDebug() << "Can't read" << path << ":" << read.reason();
    return read;
}

// Finds, locks and reads what the name found holds now; see fileEdit.
outcome beginEdit(fileEditState& s, QByteArray* bytes, bool* missing)
{
    for (int start = 0; start < maxStarts; ++start) {
        bytes->clear();
        s.locked = false;
        const outcome open = openFound(s.where, O_RDONLY, &s.file, &s.read);
        *missing = open == outcome::missing;
        if (*missing) {
            if (!s.mayCreate)
                return open;
            s.replaceable = mayReplace(factsAbout(s.where, nullptr));
            return outcome::done;
        }
        if (!open.ok())
            return open;
        // A copy that may not write makes no one wait; it still reads, to
        // tell whether anything needed writing at all.
        s.replaceable = mayReplace(factsAbout(s.where, &s.read));
        if (s.replaceable.ok() && appendOnly(s.where))
            s.replaceable = {outcome::refused, QStringLiteral("its folder takes new files only (it is append-only), "
                                                              "so it cannot be replaced")};
        const outcome locking = s.replaceable.ok() ? lockFound(s) : outcome::done;
        if (locking == outcome::missing)
            continue;
        if (!locking.ok())
            return locking;
        return readAll(s.file.get(), s.read.st_size, bytes);
    }
    return {outcome::failed, QStringLiteral("it kept being replaced while it was being opened")};
}

fileEdit::fileEdit(const QString& path, bool mayCreate, int lockTimeoutMs, lockWaitHook waitHook)
    : path_(path), state_(new fileEditState)
{
    fileEditState& s = *state_;
    s.mayCreate = mayCreate;
    s.timeoutMs = lockTimeoutMs;
    s.hook = std::move(waitHook);
    const outcome walked = walkPath(systemBytes(path), &s.where);
    begun(walked.ok() ? beginEdit(s, &bytes_, &missing_) : outcome{outcome::unreadable, walked.reason()});
}

fileEdit::~fileEdit() = default;

outcome fileEdit::replace(const QByteArray& data)
{
    if (!ready_)
        return result_;
    fileEditState& s = *state_;
    const int folder = s.where.folder.get();
    QByteArray temp;
    descriptor out;
    result_ = mayReplaceWith(s, data);
    if (result_.ok()) {
        const bool exists = s.file.valid();
        if (s.locked)
            removeLeftovers(s.where, s.read.st_uid);
        // A new file gets what the folder gives; a replacement stays private
        // until it has the old file's attributes.
        out = newFileIn(folder, exists ? 0600 : 0666, s.where.name, &temp);
        result_ = out.valid() ? writeNewFile(s, out.get(), data, &temp) : stepFailed("making the new file");
    }
    if (!result_.ok()) {
        out.reset();
        if (!temp.isEmpty())
            ::unlinkat(folder, temp.constData(), 0);
        ncDebug() << "Can't write" << path_ << ":" << result_.reason() << "; the old file is untouched";
        return result_;
    }
    // Make the rename itself survive a power cut.
    descriptor dir(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        ::fsync(dir.get());
    // A further replace() through this edit starts from the new file, which
    // holds the lock from now on.
    ::fstat(out.get(), &s.read);
    s.file = std::move(out);
    s.locked = true;
    missing_ = false;
    return result_;
}
