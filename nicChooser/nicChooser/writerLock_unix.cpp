#include "debugLog.h"
#include "pathWalk.h"
#include "writerLock.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <fcntl.h>

namespace {

constexpr int pollMs = 5;
constexpr int hookEveryMs = 50;

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

enum class attempt { held, writer, readers, failed };

// One try; on a conflict *held tells the lock in the way.
attempt tryOnce(int fd, struct flock* held, QString* why)
{
    struct flock want = lockRange(F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &want) == 0)
        return attempt::held;
    if (errno == EINTR)
        return attempt::writer; // try again at once
    if (errno != EAGAIN && errno != EACCES) {
        *why = QStringLiteral("it cannot be locked: %1").arg(errorText(errno));
        return attempt::failed;
    }
    *held = lockRange(F_WRLCK);
    if (::fcntl(fd, F_OFD_GETLK, held) != 0) {
        *why = QStringLiteral("its lock cannot be examined: %1").arg(errorText(errno));
        return attempt::failed;
    }
    if (held->l_type == F_RDLCK)
        return attempt::readers;
    return attempt::writer; // or released meanwhile (F_UNLCK): the next try tells
}

} // namespace

lockResult lockForWriting(int fd, int timeoutMs, const lockWaitHook& hook, const QString& shown, QString* why)
{
    QElapsedTimer clock;
    clock.start();
    qint64 asked = -hookEveryMs;
    for (;;) {
        struct flock held = {};
        switch (tryOnce(fd, &held, why)) {
        case attempt::held: return lockResult::held;
        case attempt::failed: return lockResult::failed;
        case attempt::readers:
            ncDebug() << "Only readers hold locks on" << shown
                      << "; not waiting for them: the file is checked before it is replaced instead";
            return lockResult::readersOnly;
        case attempt::writer: break;
        }
        const QString holder = holderOf(held);
        if (hook && clock.elapsed() - asked >= hookEveryMs) {
            asked = clock.elapsed();
            if (!hook(holder)) {
                *why = QStringLiteral("stopped waiting for %1 to finish with it").arg(holder);
                ncDebug() << "Stopped waiting for the writer holding" << shown;
                return lockResult::failed;
            }
        } else if (!hook && clock.elapsed() > timeoutMs) {
            *why = QStringLiteral("%1 kept it locked for %2 seconds").arg(holder).arg(timeoutMs / 1000.0);
            ncDebug() << "Another writer holds" << shown << "; gave up after" << timeoutMs << "ms";
            return lockResult::failed;
        }
        QThread::msleep(pollMs);
    }
}

bool tryWriterLock(int fd)
{
    struct flock want = lockRange(F_WRLCK);
    return ::fcntl(fd, F_OFD_SETLK, &want) == 0;
}
