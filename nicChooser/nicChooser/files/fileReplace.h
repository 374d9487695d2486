#pragma once
// Whole-file reads and all-or-nothing replacement, shared by both writers.
//
// Finding the file: a path is followed the way the system follows it, one
// component at a time, and the file it leads to is the one both read and
// written (a ".." after a link climbs out of the folder the link led to).
// A symbolic link, of a folder or of the file, is followed only when the
// user running the tool owns it, root owns it, or its owner also owns what
// it points to; any other link is refused with a reason and nothing is read
// through it. The system's links in /proc lead where the kernel leads (see
// pathWalk.h). Every later step works on the folder that was found, not on
// the path again, so a name swapped meanwhile cannot redirect the write.
//
// Replacing: the new bytes go to an unnamed temporary file in the file's
// folder (where the system cannot make one, a file under an unpredictable
// name, retried until it is new), which gets a name only when complete and
// flushed and is renamed over the old file at once, so the file always
// holds the old bytes or the new ones; a writer killed in between leaves at
// most a file whose name starts with ".<name>.nicChooser-new.", which the next writer
// removes. The temporary file stays the writer's own until just before the
// rename, when it gets the old file's owner, group, permissions, access
// control list and extended attributes, all checked; anything it would not
// keep (a file of another user that this user may only write through its
// group, a group this user is not in, an attribute this user may not set) is
// refused with a reason, the file untouched. Attributes this user cannot see
// (trusted.*, for anyone but root) cannot be kept. A file without any write
// permission is left alone, even for root, and so is a file whose folder
// this user may not write. Nothing is written that would not be read back:
// new content larger than maxFileBytes is refused.
//
// A missing file is created by linking the new file in under its name only
// if that name is still free; if another writer created it meanwhile,
// replace() fails and startOver() turns the edit into one of that file.
//
// Two copies running at once: a writer holds an exclusive lock on the file
// itself (on a range far beyond its end) while it reads, edits and replaces
// it, and the new file is locked before it takes the name, so the lock
// passes from the old file to the new one without a gap; a writer that got
// the lock checks that the name still holds the file it locked, and starts
// over on what it holds now if not. On Linux only someone who may write the
// file can take that lock (on Windows anyone who may read it: see
// writerLock.h; a writer kept waiting gives up, told why); a shared lock (a reader's) is not waited for, the check
// before the rename that the name still holds exactly what was read guarding
// instead. No lock file is made; ".<name>.nicChooser-lock" files of earlier
// versions are ignored and left in place. The system releases the lock when
// its holder dies. A writer waits for another up to lockTimeoutMs, or as
// long as its lockWaitHook says.
//
// On Windows the lock is LockFileEx on the same far range of the file itself
// (see writerLock.h), links are followed by the toolkit, and ReplaceFileW, on
// absolute \\?\ paths (any length the system takes), puts the new file in
// place keeping the old one's access list, alternate data streams and
// attributes, but for the archive mark, set as on any change so that
// incremental backups see it; the old file's owner is given to the new file before, or the
// file refused where this user may not give it, and a read-only file is
// refused. ReplaceFileW takes no replacement that is open, so the new file
// is locked again just after it took the name (the old file's lock held
// until then). The old file goes to a backup name beside it (one the
// leftover sweep knows), so that whatever ReplaceFileW leaves when it fails
// part way (its errors 1175, 1176, 1177), a complete copy is put back under
// the name, and nothing is removed while the name holds none. Reading needs
// read access only: a file another program holds open against writers, or
// one on write-protected media, is read and not replaced. A sharing
// violation, access denied or 1175 (a scanner holding a file a moment) is
// tried again for about 2 seconds before it counts.
//
// Text: paths are text that converts back to the exact bytes the system gave
// (see textFromSystem); folder names that are not valid UTF-8 work.

#include "outcome.h"
#include "systemText.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

/// Largest file read, in bytes: far more than any settings file or DDS
/// configuration holds, and little enough that editing it cannot exhaust
/// memory (the DDS configuration has tighter limits of its own, see
/// osplConfig.h).
constexpr qint64 maxFileBytes = 64 << 20;

/// Whether a file of size bytes is read: done, or tooLarge with the reason.
outcome sizeAllowed(qint64 size);

/// Reads the whole file at path into *data: done; missing for a file that
/// simply is not there (data then empty); unreadable or tooLarge, with a debug
/// line, when it exists but cannot be read in full (a folder, no rights, a
/// refused link, an I/O error).
outcome readWholeFile(const QString& path, QByteArray* data);

/// What a writer knows about the file it is about to replace, and about itself.
struct replaceFacts {
    bool exists = false;        ///< there is a file to replace
    bool anyWriteBit = true;    ///< its permissions grant write to someone
    bool mayWriteFile = true;   ///< this user may write the file itself
    bool mayWriteFolder = true; ///< this user may create and rename files in its folder
    bool keepsOwner = true;     ///< a file this user makes can be given the old one's owner
    QString owner;              ///< the file's owner, named in the reason
};

/// Whether the file may be replaced: done, or refused with why in plain words.
outcome mayReplace(const replaceFacts& facts);

struct fileEditState;

/// Each system's part of fileEdit (fileReplace_unix.cpp, fileReplace_win.cpp): finds (again), locks and reads the file of
/// the edit s into bytes and missing, as fileEdit's constructor says.
outcome beginEdit(fileEditState& s, QByteArray* bytes, bool* missing);

/// Each system's part of fileEdit: whether replace() found the file it was to create made by another writer
/// meanwhile; forgets it.
bool createdMeanwhile(fileEditState& s);

/// Called about every 50 ms while another writer holds the file's lock, with who holds it in plain words (as far as
/// the system tells); return false to stop waiting (the edit is then not ready: stopped, "stopped waiting for ...").
/// Without a hook the edit waits up to lockTimeoutMs, then gives up.
using lockWaitHook = std::function<bool(const QString& holder)>;

/// One read-modify-replace of a file, as both writers do it: finds the file,
/// takes the writers' lock, reads the file, and keeps the lock until
/// destroyed, so that replace() swaps in bytes computed from exactly what was
/// read, in the very file that was read. A file this user may not replace
/// (see mayReplace) is read without the lock, and replace() refuses.
class fileEdit
{
public:
    /// A missing file is created by replace() when mayCreate, otherwise the edit is not ready.
    explicit fileEdit(const QString& path, bool mayCreate = true, int lockTimeoutMs = 10000,
                      lockWaitHook waitHook = lockWaitHook());
    ~fileEdit();
    fileEdit(const fileEdit&) = delete;
    fileEdit& operator=(const fileEdit&) = delete;

    /// Read (or found missing, when it may be created); otherwise result() says why not.
    bool ready() const { return ready_; }
    /// How the last step went: reading (missing when there is no file and none may be created; unreadable when it
    /// could not be found or read, nothing locked; refused, stopped or failed when it could not be locked), or the
    /// last replace() or startOver().
    const outcome& result() const { return result_; }
    /// No file there: bytes() is empty, and replace() creates it when allowed.
    bool missing() const { return missing_; }
    const QByteArray& bytes() const { return bytes_; }
    /// Replaces the file with data, keeping what it is (see above): done; incomplete when the new content was written
    /// without all the old file was, or (Windows) a failed swap left the copies elsewhere, the reason saying which;
    /// anything else leaves the file untouched.
    outcome replace(const QByteArray& data);
    /// After replace() failed because the file it was to create appeared meanwhile (another writer made it), starts
    /// the edit over on that file: finds, locks and reads it as the constructor does, so that the caller can compute
    /// its replacement anew from bytes(); done when ready again. After any other failure, changes nothing and
    /// gives that failure again.
    outcome startOver();
    /// The path as given.
    const QString& path() const { return path_; }

private:
    outcome begun(const outcome& how); ///< keeps how beginning went (a debug line when it did not); ready when done

    QString path_;
    std::unique_ptr<fileEditState> state_;
    QByteArray bytes_;
    outcome result_;
    bool ready_ = false;
    bool missing_ = false;
};
