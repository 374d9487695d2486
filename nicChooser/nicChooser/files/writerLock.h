#pragma once
// The writers' lock on Linux: an exclusive open file description lock
// (fcntl F_OFD_SETLK, F_WRLCK) on the file itself, on one byte far beyond any
// real end of file, so that it never touches what is read or written. No
// file is made for it, so no name can be taken away from a writer, in any
// folder. A write lock needs a descriptor open for writing: only someone who
// may write the file can hold it, and so make a writer wait. The system
// releases it when the last descriptor of its holder closes, or the holder
// dies.
//
// Our writers never take shared locks, so a conflicting shared lock is a
// reader's (anyone who may read the file can take one): it is not waited
// for, and the writer relies on its check before the rename instead.
//
// On Windows the same lock is LockFileEx(LOCKFILE_EXCLUSIVE_LOCK) on that
// byte: it excludes copies in every session, the system releases it when its
// holder dies, and since range locks are mandatory there it lies where no
// read or write ever reaches. Unlike on Linux, LockFileEx takes any handle
// opened with GENERIC_READ, so anyone who may read the file can take even
// the exclusive lock: such a reader makes writers wait, up to their time
// limit, and then fail with the reason told; nothing is lost. When the
// exclusive lock fails but a shared one on the same byte succeeds, only
// readers stand in the way. Windows does not tell who holds a lock.
//
// Part of the file layer, with pathWalk.h and fileReplace_unix.cpp on Linux,
// fileReplace_win.cpp on Windows.

#include "fileReplace.h"

#include <QString>
#include <QtGlobal>

#include <functional>

/// A file open for writing: a descriptor on Linux, a HANDLE on Windows.
#ifdef _WIN32
using writableFile = void*;
#else
using writableFile = int;
#endif

/// Where the lock lies: the one byte at 2^62.
constexpr qint64 writerLockOffset = qint64(1) << 62;

/// Takes the writers' lock on fd (open for writing), waiting while another writer holds it: with hook, asking it about
/// every 50 ms whether to go on; without, for up to timeoutMs. done when held; busy when only shared (reading) locks
/// stand in the way (not held, not waited for); stopped when the hook said so; failed when it gave up or the file
/// cannot be locked. shown names the file in debug lines.
outcome lockForWriting(writableFile fd, int timeoutMs, const lockWaitHook& hook, const QString& shown);

/// Takes the lock on fd if nobody holds any lock on its range; true when held.
bool tryWriterLock(writableFile fd);

/// One try at the lock, as each system's file tells it to waitForLock.
struct lockAttempt
{
    outcome tried;           ///< done, busy (someone holds a lock on the range), or why the lock cannot be had
    bool readersOnly = false; ///< when busy: only shared (reading) locks stand in the way
    QString holder;          ///< when busy: who holds it, in plain words
};

/// The waiting both systems share: calls attempt until it is not busy, asking hook (or watching timeoutMs) as
/// lockForWriting says, and returns as lockForWriting does. shown names the file in debug lines.
outcome waitForLock(const std::function<lockAttempt()>& attempt, int timeoutMs, const lockWaitHook& hook,
                    const QString& shown);
