#include "writerLock.h"

#include <windows.h>

namespace {

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

// done when held; busy while a lock stands in the way; failed when the file cannot be locked at all.
outcome tryOnce(HANDLE file)
{
    if (tryLock(file, LOCKFILE_EXCLUSIVE_LOCK))
        return outcome::done;
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING)
        return {outcome::failed, QStringLiteral("it cannot be locked (error %1)").arg(error)};
    return {outcome::busy, QString()};
}

// Whether only shared locks, readers', stand in the way: a shared lock of
// ours fits beside them.
bool readersOnly(HANDLE file)
{
    if (!tryLock(file, 0))
        return false;
    unlock(file);
    return true;
}

} // namespace

outcome lockForWriting(writableFile fd, int timeoutMs, const lockWaitHook& hook, const QString& shown)
{
    const HANDLE file = static_cast<HANDLE>(fd);
    return waitForLock(
        [file] {
            const outcome tried = tryOnce(file);
            if (tried != outcome::busy)
                return lockAttempt{tried, false, QString()};
            return lockAttempt{tried, readersOnly(file), QString::fromLatin1(holder)};
        },
        timeoutMs, hook, shown);
}

bool tryWriterLock(writableFile fd)
{
    return tryLock(static_cast<HANDLE>(fd), LOCKFILE_EXCLUSIVE_LOCK);
}
