#include "fileReplace.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

QString why()
{
    return QString::fromLocal8Bit(std::strerror(errno));
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

// Opens a file in folder that has no name yet, so that a writer killed while
// writing leaves nothing behind; -1 where the system or file system cannot.
int openUnnamed(const QByteArray& folder)
{
#ifdef O_TMPFILE
    return ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#else
    Q_UNUSED(folder);
    errno = EOPNOTSUPP;
    return -1;
#endif
}

// Gives the unnamed file fd the name name.
bool linkUnnamed(int fd, const QByteArray& name)
{
    // The direct form needs a capability only root has; /proc serves everyone.
    if (::linkat(fd, "", AT_FDCWD, name.constData(), AT_EMPTY_PATH) == 0)
        return true;
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
    return ::linkat(AT_FDCWD, proc.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) == 0;
}

} // namespace

bool replaceFile(const QString& path, const QByteArray& data, QString* reason)
{
    const QString target = writeTarget(path);
    if (writeProtected(target, reason))
        return false;
    auto refuse = [&](const QString& why) {
        qDebug() << "Can't write" << target << ":" << why;
        if (reason)
            *reason = why;
        return false;
    };
    const QFileInfo info(target);
    if (info.isDir())
        return refuse(QStringLiteral("it is a folder"));
    const QByteArray file = native(target);
    const QByteArray temp = native(leftoverName(target));
    struct stat old;
    const bool existed = ::stat(file.constData(), &old) == 0;
    // Renaming over a file needs rights on the folder only; the file's own
    // permissions must still decide whether this user may change it.
    if (existed && ::faccessat(AT_FDCWD, file.constData(), W_OK, AT_EACCESS) != 0)
        return refuse(why());

    // Only a writer killed between naming its file and renaming it leaves
    // one; with the writer lock held nobody else is using the name.
    if (::unlink(temp.constData()) == 0)
        qDebug() << "Removed" << leftoverName(target) << ", left by a writer that did not finish";

    bool named = false;
    int fd = openUnnamed(native(info.path()));
    if (fd < 0) {
        fd = ::open(temp.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        named = true;
    }
    if (fd < 0)
        return refuse(why());
    auto fail = [&](const char* step) {
        const QString cause = why();
        ::close(fd);
        if (named)
            ::unlink(temp.constData());
        qDebug() << "Can't write" << target << ":" << step << "failed:" << cause << "; the old file is untouched";
        if (reason)
            *reason = QLatin1String(step) + QLatin1String(" failed: ") + cause;
        return false;
    };

    if (!writeAll(fd, data))
        return fail("writing");
    if (existed) {
        if (::fchmod(fd, old.st_mode & 07777) != 0)
            return fail("keeping the permissions");
        // Root rewriting a user's file must not take it away from them.
        struct stat now;
        if (::fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)
            && ::fchown(fd, old.st_uid, old.st_gid) != 0)
            qDebug() << "Can't give" << target << "back to its owner:" << why();
    }
    if (::fdatasync(fd) != 0)
        return fail("flushing");
    if (!named) {
        if (!linkUnnamed(fd, temp))
            return fail("naming the new file");
        named = true;
    }
    if (::rename(temp.constData(), file.constData()) != 0)
        return fail("renaming");
    ::close(fd);

    // Make the rename itself survive a power cut.
    const int folder = ::open(native(info.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

// flock on the folder: released by the system when its holder dies, so a
// killed writer cannot block the next one, and no lock file is left over.
writerLock::writerLock(const QString& path, int timeoutMs)
{
    const QString folder = QFileInfo(writeTarget(path)).absolutePath();
    const int fd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        reason_ = QStringLiteral("its folder cannot be locked against other writers: ") + why();
        qDebug() << "Can't lock" << folder << "against other writers:" << why();
        return;
    }
    QElapsedTimer clock;
    clock.start();
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            reason_ = QStringLiteral("its folder cannot be locked against other writers: ") + why();
            qDebug() << "Can't lock" << folder << "against other writers:" << why();
            ::close(fd);
            return;
        }
        if (clock.elapsed() >= timeoutMs) {
            reason_ = QStringLiteral("another copy of nicChooser kept it locked for %1 seconds").arg(timeoutMs / 1000);
            qDebug() << "Another writer holds" << folder << "; gave up after" << timeoutMs << "ms";
            ::close(fd);
            return;
        }
        QThread::msleep(5);
    }
    handle_ = fd;
    held_ = true;
}

writerLock::~writerLock()
{
    if (held_)
        ::close(int(handle_));
}
