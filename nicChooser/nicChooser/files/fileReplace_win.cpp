#include "debugLog.h"
#include "fileReplace.h"
#include "windowsCalls.h"
#include "windowsFiles_win.h"
#include "writerLock.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <functional>
#include <utility>
#include <vector>
#include <windows.h>
// (after windows.h)
#include <sddl.h>

using namespace windowsFiles;

windowsCalls& systemCalls()
{
    static windowsCalls calls;
    return calls;
}

namespace {

// At most this many times an edit starts over on what the name holds now.
constexpr int maxStarts = 100;

} // namespace

struct fileEditState {
    QString target;  // the file really written, absolute
    outcome replaceable; // whether it may be replaced, and why not
    bool mayCreate = true;
    int timeoutMs = 10000;
    lockWaitHook hook;
    handle file;           // the file read, and locked unless only readers stood in the way
    bool locked = false;   // the writers' lock is held on it
    bool appeared = false; // the file replace() was to create was made meanwhile
    DWORD attributes = 0;  // the file's, to be kept
};

bool createdMeanwhile(fileEditState& s)
{
    return std::exchange(s.appeared, false);
}

namespace {

// Why a file that can be read cannot be opened for writing, as a refusal.
outcome writeRefusal(const QString& target, DWORD error)
{
    replaceFacts facts;
    facts.exists = true;
    switch (error) {
    case ERROR_ACCESS_DENIED: {
        const DWORD attributes = GetFileAttributesW(wpath(target));
        facts.anyWriteBit = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_READONLY);
        facts.mayWriteFile = false;
        return mayReplace(facts);
    }
    case ERROR_SHARING_VIOLATION:
        return {outcome::refused, QStringLiteral("another program holds it open and lets nobody else write it")};
    case ERROR_WRITE_PROTECT:
        return {outcome::refused, QStringLiteral("it is on write-protected media")};
    default:
        return {outcome::refused, QStringLiteral("it cannot be opened for writing: ") + errorText(error)};
    }
}

// Opens what s.target names now, for reading only or, forEdit, for writing
// where it may be written (tried again for a while when another program
// holds it), with s.replaceable saying why it will not be replaced
// otherwise: done, missing, or unreadable. Reading needs read access only,
// so a file another program holds with FILE_SHARE_READ, or one on
// write-protected media, is still read.
outcome openTarget(fileEditState& s, bool forEdit)
{
    s.replaceable = outcome::done;
    DWORD writeError = 0, error = 0;
    if (forEdit) {
        // Access denied for writing is the file's permissions (reading tells a file being deleted).
        s.file = openExisting(s.target, GENERIC_READ | GENERIC_WRITE, &writeError,
                              [](DWORD e) { return e == ERROR_SHARING_VIOLATION; });
        identity id;
        DWORD held = 0;
        // Windows opens no read-only file for writing; Wine does, for root.
        if (s.file.valid() && identify(s.file.get(), &id, &held) && (held & FILE_ATTRIBUTE_READONLY)) {
            s.file.reset();
            writeError = ERROR_ACCESS_DENIED;
        } else if (s.file.valid()) {
            return outcome::done;
        }
        if (writeError == ERROR_FILE_NOT_FOUND || writeError == ERROR_PATH_NOT_FOUND)
            error = writeError;
    }
    if (!error) {
        const QString target = s.target;
        s.file = openExisting(s.target, GENERIC_READ, &error,
                              [&target](DWORD e) { return passing(e) && !isFolder(target); });
    }
    if (s.file.valid()) {
        if (forEdit)
            s.replaceable = writeRefusal(s.target, writeError);
        return outcome::done;
    }
    if (error == ERROR_FILE_NOT_FOUND)
        return {outcome::missing, QStringLiteral("it does not exist")};
    if (error == ERROR_PATH_NOT_FOUND)
        return {outcome::unreadable,
                QStringLiteral("the folder %1 does not exist").arg(QFileInfo(s.target).absolutePath())};
    if (isFolder(s.target))
        return {outcome::unreadable, QStringLiteral("it is a folder")};
    return {outcome::unreadable, errorText(error)};
}

// New files and backups of writers killed before they were done; only the
// lock's holder may remove them, as only it can be making one.
void removeLeftovers(const QString& target)
{
    const QFileInfo leftover(tempPrefix(target));
    QDir folder = leftover.dir();
    for (const QString& name : folder.entryList({leftover.fileName() + '*'}, QDir::Files | QDir::Hidden))
        if (!removeFile(folder.filePath(name)))
            ncDebug() << "Can't remove the leftover" << folder.filePath(name) << ":" << errorText(GetLastError());
}


// why, told in a debug line: replacing path did not go.
outcome notReplaced(const QString& path, const outcome& why)
{
    if (why == outcome::incomplete)
        ncDebug() << "Wrote" << path << "but not wholly:" << why.reason();
    else
        ncDebug() << "Can't write" << path << ":" << why.reason() << "; the old file is untouched";
    return why;
}

// The new bytes beside target under an unpredictable name, retried while
// taken; complete, flushed, with the attributes to keep and the writers'
// lock, so that the lock passes with the name where the handle may stay open.
// It is marked changed (archive) whatever the old file was: a backup tool
// clears that mark after a backup, and a change without it would be missed
// by the next incremental one. (Setting attributes sets all of them, so the
// mark set by the write would go unless it is in the set.)
handle makeNewFile(const QString& target, const QByteArray& data, DWORD attributes, QString* name, outcome* result)
{
    handle file;
    for (int tries = 0; tries < 100 && !file.valid(); ++tries) {
        *name = randomName(target);
        DWORD error = 0;
        file = openOnce(*name, GENERIC_READ | GENERIC_WRITE | DELETE, CREATE_NEW, &error);
        if (error && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            *result = error == ERROR_ACCESS_DENIED
                          ? outcome(outcome::refused, QStringLiteral("you may not create files in its folder"))
                          : outcome(outcome::failed,
                                    QStringLiteral("a new file cannot be made beside it: ") + errorText(error));
            return handle();
        }
    }
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_ARCHIVE;
    QString failed;
    if (!file.valid())
        failed = QStringLiteral("no free name for a new file beside it");
    else if (!writeAll(file.get(), data) || !FlushFileBuffers(file.get()))
        failed = QStringLiteral("writing the new file failed: ") + errorText(GetLastError());
    else if (!systemCalls().setFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic))
        failed = QStringLiteral("its attributes cannot be given to the new file: ") + errorText(GetLastError());
    else if (!tryWriterLock(file.get()))
        failed = QStringLiteral("the new file cannot be locked: ") + errorText(GetLastError());
    if (failed.isEmpty())
        return file;
    *result = {outcome::failed, failed};
    if (file.valid()) {
        file.reset();
        removeFile(*name);
    }
    return handle();
}

// Gives the new file open as fresh (named name) the owner of the old one,
// open as old, before the swap: ReplaceFileW keeps the old file's access
// list but not its owner. The same owner needs nothing; another is given
// where this user may give it (an administrator may give any, with
// SeRestorePrivilege) and checked; where not, the file would change owner,
// which is refused as on Linux. A volume without owners (FAT) has none to
// keep. The creator keeps its rights on the new file after it, as the
// inherited CREATOR OWNER grant was made out to the creator by name.
outcome keepOwner(HANDLE old, HANDLE fresh, const QString& name)
{
    ownerSid was, made;
    const outcome read = ownerOf(old, &was);
    if (read == outcome::unsupported)
        return outcome::done;
    if (!read.ok())
        return {outcome::refused, QStringLiteral("its owner cannot be read (%1), so it could not be kept")
                                      .arg(read.reason())};
    if (ownerOf(fresh, &made).ok() && made == was)
        return outcome::done;
    replaceFacts facts;
    facts.exists = true;
    facts.keepsOwner = false;
    facts.owner = ownerName(was);
    const restorePrivilege privilege;
    DWORD error = 0;
    const handle owned = openOnce(name, READ_CONTROL | WRITE_OWNER, OPEN_EXISTING, &error, FILE_FLAG_BACKUP_SEMANTICS);
    if (owned.valid())
        error = systemCalls().setSecurityInfo(owned.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                              const_cast<char*>(was.constData()), nullptr, nullptr, nullptr);
    ownerSid now;
    if (error == ERROR_SUCCESS && ownerOf(owned.get(), &now).ok() && now == was)
        return outcome::done;
    const outcome refused = mayReplace(facts);
    return {refused.what(), refused.reason() + QStringLiteral(" (giving it that owner failed: %1)")
                                                    .arg(error ? errorText(error) : QStringLiteral("it did not hold"))};
}

// Opens target again for writing and takes the lock on it, as *fresh,
// after the new file took its name.
void relock(const QString& target, handle* fresh)
{
    DWORD error = 0;
    *fresh = openExisting(target, GENERIC_READ | GENERIC_WRITE, &error, passing);
    if (!fresh->valid() || !tryWriterLock(fresh->get()))
        ncDebug() << "Another writer took" << target << "as soon as it was replaced; going on without its lock";
}

// Where the copy at temporary (a name the leftover sweep removes) is kept
// for a person to find: moved to a saved name, or copied there when it cannot
// be moved; told as it is when neither goes.
QString saved(const QString& temporary, const QString& target)
{
    if (!exists(temporary))
        return QStringLiteral("no file (it is lost)");
    const QString kept = savedName(target);
    if (moveTo(temporary, kept) || CopyFileW(wpath(temporary), wpath(kept), TRUE))
        return kept;
    ncDebug() << "Can't keep" << temporary << "under" << kept << ":" << errorText(GetLastError());
    return temporary + QStringLiteral(" (which the next writer removes as a leftover: copy it elsewhere)");
}

// After ReplaceFileW failed with error (name the new file, made, backup the
// name it was given for the old one), makes sure a complete copy stands
// under the file's name, whatever the system left, and says what it holds:
// failed when the old file is (back) there; incomplete when the new content
// had to be moved in or took the name by a call that still failed, or,
// should neither go, where each copy is, kept under saved names (*named
// tells whether the name holds the new content). Nothing is removed while
// the name holds neither.
outcome recover(fileEditState& s, const QString& name, const identity& made, const QString& backup, DWORD error,
                handle* fresh, bool* named)
{
    const QString why = QStringLiteral("replacing it failed: ") + errorText(error);
    if (stillNamed(s.target, s.file.get())) {
        // 1175, 1176 with a backup name, and any other error: both files kept their names.
        removeFile(name);
        if (exists(backup))
            removeFile(backup); // a copy of what the name still holds
        return {outcome::failed, why};
    }
    if (!exists(s.target)) {
        // 1177: the old file is under the backup name, the new one under its own.
        if (exists(backup) && moveTo(backup, s.target)) {
            removeFile(name);
            return {outcome::failed, why + QStringLiteral("; the old file was put back under its name")};
        }
        // 1176 as documented without a backup name: the old file is gone.
        if (holds(name, made) && moveTo(name, s.target)) {
            *named = true;
            relock(s.target, fresh);
            if (exists(backup))
                removeFile(backup);
            return {outcome::incomplete,
                    QStringLiteral("its new content was written, but not as a replacement of the old file (%1): "
                                   "its access list, owner and creation time are the new file's")
                        .arg(errorText(error))};
        }
        return {outcome::incomplete,
                why + QStringLiteral("; neither the old file nor the new one could be put under its name, so it "
                                     "is not there now: the old content is in %1, the new in %2")
                          .arg(saved(backup, s.target), saved(name, s.target))};
    }
    if (holds(s.target, made)) {
        // A failed call does not promise to have carried anything over.
        ncDebug() << "ReplaceFileW said" << errorText(error) << ", yet" << s.target << "holds the new file";
        *named = true;
        relock(s.target, fresh);
        if (exists(backup))
            removeFile(backup);
        const QString notCarried =
            QStringLiteral("its new content was written, but replacing it reported a failure (%1), so the old "
                           "file's access list and alternate data streams may not have been carried over")
                .arg(errorText(error));
        return {outcome::incomplete, notCarried};
    }
    // Another program put a file there meanwhile: it is left as it is.
    removeFile(name);
    return {outcome::failed, why + QStringLiteral("; meanwhile another program put another file under its name")};
}

// Puts the new file (open as fresh, named name) in the old one's place, and
// leaves fresh open on what the name then holds, locked if it can be.
// ReplaceFileW keeps the old file's security descriptor, its streams and its
// identity, but takes no replacement that is open anywhere (sharing
// violation): the new file's handle, and with it its lock, is let go for
// that moment, the old file's lock still held, and the name locked again at
// once; a writer that opened the new name in between may win it, and then
// this edit goes on without (its other file's lock still orders the two).
// The old file goes to a backup name beside it, so that a swap the system
// leaves half done can be put right (see recover), and is removed once the
// new file holds the name. Passing errors are tried again for a while. A
// missing file is only created while its name is free, its lock kept
// throughout. *named tells whether the name holds the new content after it.
outcome swapIn(fileEditState& s, bool missing, const QString& name, handle* fresh, bool* named)
{
    DWORD error = 0;
    *named = false;
    if (missing) {
        *named = retrying(
            [&] { return systemCalls().moveFile(wpath(name), wpath(s.target), MOVEFILE_WRITE_THROUGH); }, passing,
            &error);
        if (*named)
            return outcome::done;
        fresh->reset();
        removeFile(name);
        s.appeared = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
        return {outcome::failed, s.appeared ? QStringLiteral("it was created by another writer meanwhile")
                                            : QStringLiteral("naming the new file failed: ") + errorText(error)};
    }
    identity made;
    if (!identify(fresh->get(), &made)) {
        const DWORD why = GetLastError();
        fresh->reset();
        removeFile(name);
        // Without it no half-done swap could be told from another program's file.
        return {outcome::failed, QStringLiteral("the new file cannot be identified: ") + errorText(why)};
    }
    fresh->reset();
    QString backup = randomName(s.target);
    while (exists(backup))
        backup = randomName(s.target);
    const bool replaced = retrying(
        [&] { return systemCalls().replaceFile(wpath(s.target), wpath(name), wpath(backup), 0, nullptr, nullptr); },
        [&](DWORD e) {
            // Only while nothing moved: the old file under its name, the new one under its own.
            if (!passing(e) || !stillNamed(s.target, s.file.get()) || !holds(name, made))
                return false;
            if (exists(backup))
                removeFile(backup);
            return true;
        },
        &error);
    if (!replaced)
        return recover(s, name, made, backup, error, fresh, named);
    *named = true;
    relock(s.target, fresh);
    if (!removeFile(backup) && GetLastError() != ERROR_FILE_NOT_FOUND)
        ncDebug() << "Can't remove the old file, now" << backup << ":" << errorText(GetLastError())
                  << "; the next writer will";
    return outcome::done;
}

} // namespace

// Finds, locks and reads what the name holds now; see fileEdit.
outcome beginEdit(fileEditState& s, QByteArray* bytes, bool* missing)
{
    for (int start = 0; start < maxStarts; ++start) {
        bytes->clear();
        s.file.reset();
        s.locked = false;
        const outcome open = openTarget(s, true);
        *missing = open == outcome::missing;
        if (*missing)
            return s.mayCreate ? outcome::done : open;
        if (!open.ok())
            return open;
        // A copy that may not write makes no one wait; it still reads, to
        // tell whether anything needed writing at all.
        if (s.replaceable.ok()) {
            const outcome lock = lockForWriting(s.file.get(), s.timeoutMs, s.hook, s.target);
            if (!lock.ok() && lock != outcome::busy) // readers only are not waited for
                return lock;
            s.locked = lock.ok();
            if (!stillNamed(s.target, s.file.get()))
                continue; // replaced while this copy waited: edit what is there now
            if (s.locked)
                removeLeftovers(s.target);
        }
        identity id;
        identify(s.file.get(), &id, &s.attributes);
        return readAll(s.file.get(), bytes);
    }
    return {outcome::failed, QStringLiteral("it kept being replaced while it was being opened")};
}

outcome readWholeFile(const QString& path, QByteArray* data)
{
    data->clear();
    fileEditState s;
    s.target = writeTarget(path);
    outcome read = openTarget(s, false);
    if (read.ok())
        read = readAll(s.file.get(), data);
    if (!read.ok() && read != outcome::missing)
        ncDebug() << "Can't read" << path << ":" << read.reason();
    return read;
}

fileEdit::fileEdit(const QString& path, bool mayCreate, int lockTimeoutMs, lockWaitHook waitHook)
    : path_(path), state_(new fileEditState)
{
    fileEditState& s = *state_;
    s.target = writeTarget(path);
    s.mayCreate = mayCreate;
    s.timeoutMs = lockTimeoutMs;
    s.hook = std::move(waitHook);
    begun(beginEdit(s, &bytes_, &missing_));
}

fileEdit::~fileEdit() = default;

// The attributes a replacement keeps (the others the system manages; the
// archive mark is set on the new file, see makeNewFile).
constexpr DWORD keptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

outcome fileEdit::replace(const QByteArray& data)
{
    if (!ready_)
        return result_;
    fileEditState& s = *state_;
    if (!s.replaceable.ok())
        return result_ = notReplaced(path_, s.replaceable);
    if (!sizeAllowed(data.size()).ok())
        return result_ = notReplaced(path_, {outcome::tooLarge,
                       QStringLiteral("its new content would be larger than %1 MiB, more than is ever read back")
                           .arg(maxFileBytes >> 20)});
    QByteArray now;
    // Another program (not a writer of ours, which waits for the lock) may
    // have changed the file meanwhile: then the edit is no longer of it.
    if (!missing_ && (!stillNamed(s.target, s.file.get()) || !readAll(s.file.get(), &now).ok() || now != bytes_))
        return result_ = notReplaced(path_, {outcome::refused, QStringLiteral("it was changed by another program while it was being edited")});
    QString name;
    outcome made;
    handle fresh = makeNewFile(s.target, data, missing_ ? 0 : s.attributes & keptAttributes, &name, &made);
    if (!fresh.valid())
        return result_ = notReplaced(path_, made);
    if (!missing_) {
        const outcome owner = keepOwner(s.file.get(), fresh.get(), name);
        if (!owner.ok()) {
            fresh.reset();
            removeFile(name);
            return result_ = notReplaced(path_, owner);
        }
    }
    bool named = false;
    const outcome swapped = swapIn(s, missing_, name, &fresh, &named);
    if (!named)
        return result_ = notReplaced(path_, swapped);
    // From here on the name holds the new content.
    s.file = std::move(fresh);
    bytes_ = data;
    const bool created = std::exchange(missing_, false);
    if (swapped != outcome::done)
        return result_ = notReplaced(path_, swapped);
    const DWORD attributes = GetFileAttributesW(wpath(s.target));
    if (!created
        && (attributes == INVALID_FILE_ATTRIBUTES
            || (attributes & keptAttributes) != (s.attributes & keptAttributes))) {
        ncDebug() << "Wrote" << path_ << "but its attributes" << Qt::hex << s.attributes << "came out as" << attributes;
        return result_ = {outcome::incomplete,
                          QStringLiteral("its new content was written, but its attributes were not kept (they were "
                                         "%1, now %2)")
                              .arg(s.attributes & keptAttributes, 0, 16)
                              .arg(attributes & keptAttributes, 0, 16)};
    }
    return result_ = outcome::done;
}
