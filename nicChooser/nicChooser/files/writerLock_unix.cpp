#include "pathWalk.h"
#include "writerLock.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>

namespace {

struct flock lockRange(short type)
{
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = writerLockOffset;
    range.l_len = 1;
    return range;
}

// Who holds a lock, in plain words, as far as the system tells: open file
// description locks carry no process, classic ones do.
QString holderOf(const struct flock& held)
{
    if (held.l_pid <= 0)
        return QStringLiteral("someone who may change it (another copy of nicChooser, perhaps)");
    QFile comm(QStringLiteral("/proc/%1/comm").arg(held.l_pid));
    const QString name = comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed()) : QString();
    return name.isEmpty() ? QStringLiteral("process %1").arg(held.l_pid)
                          : QStringLiteral("process %1 (%2)").arg(held.l_pid).arg(name);
}

// One try: done when held; busy when another lock is in the way, which
// *held then tells (F_UNLCK when it went meanwhile: try again).
outcome tryOnce(int fd, struct flock* held)
{
    struct flock want = lockRange(F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &want) == 0)
        return outcome::done;
    *held = lockRange(F_UNLCK);
    if (errno == EINTR)
        return outcome::busy;
    if (errno != EAGAIN && errno != EACCES)
        return {outcome::failed, QStringLiteral("it cannot be locked: %1").arg(errorText(errno))};
    *held = lockRange(F_WRLCK);
    if (::fcntl(fd, F_OFD_GETLK, held) != 0)
        return {outcome::failed, QStringLiteral("its lock cannot be examined: %1").arg(errorText(errno))};
    return outcome::busy;
}

} // namespace

outcome lockForWriting(int fd, int timeoutMs, const lockWaitHook& hook, const QString& shown)
{
    return waitForLock(
        [fd] {
            struct flock held = {};
            const outcome tried = tryOnce(fd, &held);
            if (tried != outcome::busy)
                return lockAttempt{tried, false, QString()};
            return lockAttempt{tried, held.l_type == F_RDLCK, holderOf(held)};
        },
        timeoutMs, hook, shown);
}

bool tryWriterLock(int fd)
{
    struct flock want = lockRange(F_WRLCK);
    return ::fcntl(fd, F_OFD_SETLK, &want) == 0;
}
