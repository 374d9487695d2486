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
// Part of the Linux file layer, with pathWalk.h and fileReplace_unix.cpp.

#include "fileReplace.h"

#include <QString>
#include <QtGlobal>

/// Where the lock lies: the one byte at 2^62.
constexpr qint64 writerLockOffset = qint64(1) << 62;

/// Takes the writers' lock on fd (open for writing), waiting while another writer holds it: with hook, asking it about
/// every 50 ms whether to go on; without, for up to timeoutMs. done when held; busy when only shared (reading) locks
/// stand in the way (not held, not waited for); stopped when the hook said so; failed when it gave up or the file
/// cannot be locked. shown names the file in debug lines.
outcome lockForWriting(int fd, int timeoutMs, const lockWaitHook& hook, const QString& shown);

/// Takes the lock on fd (open for writing) if nobody holds any lock on its range; true when held.
bool tryWriterLock(int fd);
