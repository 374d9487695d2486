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

namespace {

const char tempMark[] = ".nicChooser-new.";
constexpr int randomChars = 12;
constexpr int maxNameTries = 100;
constexpr int maxStarts = 10;

enum class opening { opened, missing, failed };

// Opens the file a walk found as it is now, with access (O_RDONLY or O_RDWR).
opening openFound(const place& where, int access, descriptor* fd, struct stat* st, QString* why)
{
    if (where.name.isEmpty()) {
        *why = QStringLiteral("it is a folder");
        return opening::failed;
    }
    const int opened =
        ::openat(where.folder.get(), where.name.constData(), access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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
    QString refusal; // why it may not be replaced; empty when it may
    place where;
    descriptor file;       // the file as read (open for writing when it may be replaced); invalid when missing
    struct stat read = {}; // and what it was then
    bool locked = false;   // file holds the writers' lock
    bool appeared = false; // the file replace() was to create was made meanwhile
    bool mayCreate = true;
    int timeoutMs = 0;
    lockWaitHook hook;
};

namespace {

enum class step { done, again, failed };

// Takes the writers' lock on the file open as s.file, through a descriptor
// open for writing on that very file, which then stands in for it.
step lockFound(fileEditState& s, QString* why)
{
    descriptor fd;
    struct stat opened;
    switch (openFound(s.where, O_RDWR, &fd, &opened, why)) {
    case opening::missing: return step::again;
    case opening::failed: return step::failed;
    case opening::opened: break;
    }
    if (!sameFile(opened, s.read))
        return step::again;
    const QString shown = shownPath(joined(s.where.folderPath, s.where.name));
    switch (lockForWriting(fd.get(), s.timeoutMs, s.hook, shown, why)) {
    case lockResult::failed: return step::failed;
    case lockResult::readersOnly: break;
    case lockResult::held:
        // Another writer may have replaced it while this one waited.
        if (!stillNamed(s.where.folder.get(), s.where.name, opened))
            return step::again;
        s.locked = true;
        break;
    }
    s.file = std::move(fd);
    ::fstat(s.file.get(), &s.read);
    return step::done;
}

enum class begun { ready, absent, unreadable, refused };

// Finds, locks and reads what the name found holds now; see fileEdit.
begun beginEdit(fileEditState& s, QByteArray* bytes, bool* missing, QString* why)
{
    for (int start = 0; start < maxStarts; ++start) {
        bytes->clear();
        s.locked = false;
        switch (openFound(s.where, O_RDONLY, &s.file, &s.read, why)) {
        case opening::failed: return begun::unreadable;
        case opening::missing:
            *missing = true;
            *why = QStringLiteral("it does not exist");
            if (!s.mayCreate)
                return begun::absent;
            s.refusal = replaceRefusal(factsAbout(s.where, nullptr));
            return begun::ready;
        case opening::opened: *missing = false; break;
        }
        // A copy that may not write makes no one wait; it still reads, to
        // tell whether anything needed writing at all.
        s.refusal = replaceRefusal(factsAbout(s.where, &s.read));
        if (s.refusal.isEmpty() && appendOnly(s.where))
            s.refusal = QStringLiteral("its folder takes new files only (it is append-only), so it cannot be replaced");
        const step locking = s.refusal.isEmpty() ? lockFound(s, why) : step::done;
        if (locking == step::again)
            continue;
        if (locking == step::failed)
            return begun::refused;
        return readAll(s.file.get(), s.read.st_size, bytes, why) ? begun::ready : begun::unreadable;
    }
    *why = QStringLiteral("it kept being replaced while it was being opened");
    return begun::refused;
}

// Tells how beginning an edit of path went; true when it is ready.
bool settle(begun result, const QString& path, const QString& why, QString* reason, bool* unreadable)
{
    *unreadable = result == begun::unreadable;
    if (result == begun::ready)
        return true;
    if (result == begun::unreadable)
        ncDebug() << "Can't read" << path << ":" << why;
    else if (result == begun::refused)
        ncDebug() << "Not writing" << path << ":" << why;
    *reason = why;
    return false;
}

// Names the new file, gives it what the old one has and renames it over the
// old one, which must still be what was read.
bool swapIn(fileEditState& s, int out, QByteArray* temp, QString* why)
{
    const int folder = s.where.folder.get();
    const QByteArray& name = s.where.name;
    auto stepFailed = [why](const char* what) {
        *why = QLatin1String(what) + QLatin1String(" failed: ") + errorText(errno);
        return false;
    };
    if (temp->isEmpty() && !nameNewFile(out, folder, name, temp))
        return stepFailed("naming the new file");
    struct stat old;
    if (::fstat(s.file.get(), &old) != 0)
        return stepFailed("examining the file");
    // Only now, named under a name nobody knows, does it become the owner's.
    *why = keepAttributes(s.file.get(), out, old);
    if (!why->isEmpty())
        return false;
    // Other programs do not take the lock.
    if (!stillNamed(folder, name, s.read)) {
        *why = QStringLiteral("it was changed by another program while it was being edited");
        return false;
    }
    if (::renameat(folder, temp->constData(), folder, name.constData()) != 0)
        return stepFailed("renaming");
    temp->clear();
    return true;
}

// Links the new file in under the name, which must still be free: if another
// writer made the file meanwhile, the edit must start over on that one.
bool linkIn(fileEditState& s, int out, QByteArray* temp, QString* why)
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
        return true;
    s.appeared = error == EEXIST;
    *why = s.appeared ? QStringLiteral("it was created by another writer meanwhile")
                      : QStringLiteral("naming the new file failed: ") + errorText(error);
    return false;
}

// Why the name no longer holds what the edit read; empty when it does.
QString changedSinceRead(fileEditState& s)
{
    struct stat now;
    const bool exists = ::fstatat(s.where.folder.get(), s.where.name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists == s.file.valid() && (!exists || sameFile(now, s.read)))
        return QString();
    s.appeared = exists && !s.file.valid();
    return s.appeared ? QStringLiteral("it was created by another writer meanwhile")
                      : QStringLiteral("it was changed by another program while it was being edited");
}

// Why the edit must not replace the file with data now; empty when it may.
QString replaceProblem(fileEditState& s, const QByteArray& data)
{
    if (!s.refusal.isEmpty())
        return s.refusal;
    if (!tooLarge(data.size()).isEmpty())
        return QStringLiteral("its new content would be larger than %1 MiB, more than is ever read back")
            .arg(maxFileBytes >> 20);
    const QString changed = changedSinceRead(s);
    if (!changed.isEmpty())
        return changed;
    return replaceRefusal(factsAbout(s.where, s.file.valid() ? &s.read : nullptr));
}

} // namespace

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
        ncDebug() << "Can't read" << path << ":" << why;
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
    switch (openFound(where, O_RDONLY, &fd, &st, &why)) {
    case opening::missing: *missing = true; return true;
    case opening::failed: return fail(why);
    case opening::opened: break;
    }
    return readAll(fd.get(), st.st_size, data, &why) || fail(why);
}

fileEdit::fileEdit(const QString& path, bool mayCreate, int lockTimeoutMs, lockWaitHook waitHook)
    : path_(path), state_(new fileEditState)
{
    fileEditState& s = *state_;
    s.mayCreate = mayCreate;
    s.timeoutMs = lockTimeoutMs;
    s.hook = std::move(waitHook);
    QString why;
    if (!walkPath(systemBytes(path), &s.where, &why)) {
        settle(begun::unreadable, path, why, &reason_, &unreadable_);
        return;
    }
    ready_ = settle(beginEdit(s, &bytes_, &missing_, &why), path, why, &reason_, &unreadable_);
}

fileEdit::~fileEdit() = default;

bool fileEdit::startOver()
{
    fileEditState& s = *state_;
    if (!s.appeared)
        return false;
    s.appeared = false;
    QString why;
    ready_ = settle(beginEdit(s, &bytes_, &missing_, &why), path_, why, &reason_, &unreadable_);
    return ready_;
}

bool fileEdit::replace(const QByteArray& data)
{
    if (!ready_)
        return false;
    fileEditState& s = *state_;
    const int folder = s.where.folder.get();
    auto refuse = [&](const QString& why) {
        ncDebug() << "Can't write" << path_ << ":" << why << "; the old file is untouched";
        reason_ = why;
        return false;
    };
    QString why = replaceProblem(s, data);
    if (!why.isEmpty())
        return refuse(why);
    const bool exists = s.file.valid();
    if (s.locked)
        removeLeftovers(s.where, s.read.st_uid);

    QByteArray temp;
    // A new file gets what the folder gives; a replacement stays private
    // until it has the old file's attributes.
    descriptor out = newFileIn(folder, exists ? 0600 : 0666, s.where.name, &temp);
    if (!out.valid())
        return refuse(errorText(errno));
    auto failed = [&](const QString& why) {
        out.reset();
        if (!temp.isEmpty())
            ::unlinkat(folder, temp.constData(), 0);
        return refuse(why);
    };
    auto stepFailed = [&](const char* step) {
        return failed(QLatin1String(step) + QLatin1String(" failed: ") + errorText(errno));
    };
    // Locked before it takes the name, so that the lock passes from the old
    // file to the new one without a gap.
    if (!tryWriterLock(out.get()))
        return stepFailed("locking the new file");
    if (!writeAll(out.get(), data))
        return stepFailed("writing");
    if (::fdatasync(out.get()) != 0)
        return stepFailed("flushing");
    if (!(exists ? swapIn(s, out.get(), &temp, &why) : linkIn(s, out.get(), &temp, &why)))
        return failed(why);

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
    return true;
}
