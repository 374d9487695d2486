#include "writerLock.h"

#include "debugLog.h"
#include <QElapsedTimer>
#include <QThread>

#include <windows.h>

namespace {

constexpr int pollMs = 5;
constexpr int hookEveryMs = 50;

// The system names no holder of a range lock.
const char* const holder = "someone who may change it (another copy of nicChooser, perhaps)";

OVERLAPPED lockRange()
{
    OVERLAPPED range = {};
    range.Offset = DWORD(writerLockOffset & 0xFFFFFFFF);
    range.OffsetHigh = DWORD(writerLockOffset >> 32);
    return range;
}

bool tryLock(HANDLE file, DWORD flags)
{
    OVERLAPPED range = lockRange();
    return LockFileEx(file, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range);
}

void unlock(HANDLE file)
{
    OVERLAPPED range = lockRange();
    UnlockFileEx(file, 0, 1, 0, &range);
}

enum class attempt { held, writer, readers, failed };

attempt tryOnce(HANDLE file, QString* why)
{
    if (tryLock(file, LOCKFILE_EXCLUSIVE_LOCK))
        return attempt::held;
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
        *why = QStringLiteral("it cannot be locked (error %1)").arg(error);
        return attempt::failed;
    }
    // A shared lock beside the ones in the way: they are all shared, readers'.
    if (tryLock(file, 0)) {
        unlock(file);
        return attempt::readers;
    }
    return attempt::writer;
}

} // namespace

lockResult lockForWriting(writableFile fd, int timeoutMs, const lockWaitHook& hook, const QString& shown, QString* why)
{
    const HANDLE file = static_cast<HANDLE>(fd);
    QElapsedTimer clock;
    clock.start();
    qint64 asked = -hookEveryMs;
    const QString who = QString::fromLatin1(holder);
    for (;;) {
        switch (tryOnce(file, why)) {
        case attempt::held: return lockResult::held;
        case attempt::failed: return lockResult::failed;
        case attempt::readers:
            ncDebug() << "Only readers hold locks on" << shown
                     << "; not waiting for them: the file is checked before it is replaced instead";
            return lockResult::readersOnly;
        case attempt::writer: break;
        }
        if (hook && clock.elapsed() - asked >= hookEveryMs) {
            asked = clock.elapsed();
            if (!hook(who)) {
                *why = QStringLiteral("stopped waiting for %1 to finish with it").arg(who);
                ncDebug() << "Stopped waiting for the writer holding" << shown;
                return lockResult::failed;
            }
        } else if (!hook && clock.elapsed() > timeoutMs) {
            *why = QStringLiteral("%1 kept it locked for %2 seconds").arg(who).arg(timeoutMs / 1000.0);
            ncDebug() << "Another writer holds" << shown << "; gave up after" << timeoutMs << "ms";
            return lockResult::failed;
        }
        QThread::msleep(pollMs);
    }
}

bool tryWriterLock(writableFile fd)
{
    return tryLock(static_cast<HANDLE>(fd), LOCKFILE_EXCLUSIVE_LOCK);
}
