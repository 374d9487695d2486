#include "debugLog.h"
#include "fileReplace.h"
#include "windowsCalls.h"
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

windowsCalls& systemCalls()
{
    static windowsCalls calls;
    return calls;
}

namespace {

// At most this many times an edit starts over on what the name holds now.
constexpr int maxStarts = 100;

// ".<name>.nicChooser-new.": how the temporary files beside target begin,
// the new file's and ReplaceFileW's backup of the old one alike, so that the
// leftover sweep knows both.
QString tempPrefix(const QString& target)
{
    const QFileInfo info(target);
    return QDir::toNativeSeparators(info.dir().filePath(QLatin1Char('.') + info.fileName()
                                                        + QLatin1String(".nicChooser-new.")));
}

QString errorText(DWORD error)
{
    wchar_t* text = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString s = n ? QString::fromWCharArray(text, int(n)).trimmed() : QString();
    LocalFree(text);
    return s.isEmpty() ? QStringLiteral("error %1").arg(error) : QStringLiteral("%1 (error %2)").arg(s).arg(error);
}

// path as the wide functions take it at any length: made absolute and
// normalised as the system normalises a path (GetFullPathNameW, which drops
// "." and ".." and trailing dots), then given the \\?\ prefix (\\?\UNC\ for
// a share), which lifts the MAX_PATH limit and turns normalising off.
std::wstring systemPath(const QString& path)
{
    std::wstring given = QDir::toNativeSeparators(path).toStdWString();
    if (given.rfind(L"\\\\?\\", 0) == 0 || given.rfind(L"\\\\.\\", 0) == 0)
        return given;
    std::vector<wchar_t> full(MAX_PATH);
    for (;;) {
        const DWORD n = GetFullPathNameW(given.c_str(), DWORD(full.size()), full.data(), nullptr);
        if (n == 0)
            return given; // the call that uses it will say what is wrong with it
        if (n < full.size()) {
            given.assign(full.data(), n);
            break;
        }
        full.resize(n);
    }
    if (given.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + given.substr(2);
    return L"\\\\?\\" + given;
}

// A path given to a wide call, held for the length of that call.
class wpath
{
public:
    explicit wpath(const QString& path) : path_(systemPath(path)) {}
    operator const wchar_t*() const { return path_.c_str(); }

private:
    std::wstring path_;
};

// A handle, closed when it goes.
class handle
{
public:
    handle() = default;
    explicit handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~handle() { reset(); }
    handle(handle&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    handle& operator=(handle&& o) noexcept
    {
        std::swap(h_, o.h_);
        return *this;
    }
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr; }
    void reset()
    {
        if (h_)
            CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;
};

// Errors that pass: another program (a virus scanner, an indexer, a backup)
// holding the file a moment, or a file being deleted; ReplaceFileW's 1175
// too, an old file that could not be moved aside while someone held it.
bool passing(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED
           || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// Makes call until it succeeds or fails with an error again does not take,
// waiting retrySleepMs between tries, at most retrySleeps times: whether it
// succeeded, the last error in *error.
bool retrying(const std::function<bool()>& call, const std::function<bool(DWORD)>& again, DWORD* error)
{
    for (int slept = 0;; ++slept) {
        if (call())
            return true;
        *error = GetLastError();
        if (slept == retrySleeps || !again(*error))
            return false;
        systemCalls().sleep(retrySleepMs);
    }
}

// Every handle of ours lets others read, write and rename or replace the
// file, so that a waiting writer never stands in the way of the one at work.
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// One try at opening path; a failure's error in *error.
handle openOnce(const QString& path, DWORD access, DWORD disposition, DWORD* error = nullptr,
                DWORD flags = FILE_ATTRIBUTE_NORMAL)
{
    handle h(systemCalls().createFile(wpath(path), access, shareAll, nullptr, disposition, flags, nullptr));
    if (error)
        *error = h.valid() ? 0 : GetLastError();
    return h;
}

// An existing file opened with access, tried again while again(error) says
// the error may pass; a failure's error in *error.
handle openExisting(const QString& path, DWORD access, DWORD* error, const std::function<bool(DWORD)>& again)
{
    handle h;
    DWORD failed = 0;
    retrying(
        [&] {
            h = openOnce(path, access, OPEN_EXISTING, &failed);
            SetLastError(failed);
            return h.valid();
        },
        again, &failed);
    *error = failed;
    return h;
}

bool exists(const QString& path)
{
    return GetFileAttributesW(wpath(path)) != INVALID_FILE_ATTRIBUTES;
}

bool isFolder(const QString& path)
{
    const DWORD attributes = GetFileAttributesW(wpath(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The file a write to path really changes, absolute (ReplaceFileW takes no
// relative paths): the end of a chain of symbolic links, or path itself.
QString writeTarget(const QString& path)
{
    QFileInfo info(path);
    // A bounded walk: a loop of links must not hang the writer.
    for (int hops = 0; info.isSymLink() && hops < 40; ++hops)
        info.setFile(info.symLinkTarget());
    return QDir::toNativeSeparators(QDir::cleanPath(info.absoluteFilePath()));
}

struct identity {
    DWORD volume = 0, high = 0, low = 0;
    bool operator==(const identity& o) const { return volume == o.volume && high == o.high && low == o.low; }
};

bool identify(HANDLE file, identity* id, DWORD* attributes = nullptr)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return false;
    *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    if (attributes)
        *attributes = info.dwFileAttributes;
    return true;
}

// Whether path names the file id now. (Opening for attributes only meets no
// sharing mode.)
bool holds(const QString& path, const identity& id)
{
    const handle now = openOnce(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    identity named;
    return now.valid() && identify(now.get(), &named) && named == id;
}

// Whether path names the file open as file now.
bool stillNamed(const QString& path, HANDLE file)
{
    identity id;
    return identify(file, &id) && holds(path, id);
}

// The whole of file into *data: done, tooLarge or unreadable.
outcome readAll(HANDLE file, QByteArray* data)
{
    data->clear();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size))
        return {outcome::unreadable, errorText(GetLastError())};
    const outcome allowed = sizeAllowed(size.QuadPart);
    if (!allowed.ok())
        return allowed;
    data->resize(int(size.QuadPart));
    LARGE_INTEGER start = {};
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    DWORD got = 0;
    for (int at = 0; at < data->size(); at += int(got)) {
        if (!ReadFile(file, data->data() + at, DWORD(data->size() - at), &got, nullptr) || got == 0) {
            const QString why =
                got == 0 ? QStringLiteral("it changed while it was being read") : errorText(GetLastError());
            data->clear();
            return {outcome::unreadable, why};
        }
    }
    return outcome::done;
}

// An owner (a SID) as the system stores it.
using ownerSid = QByteArray;

// The owner of the file open as file into *owner: done; unsupported when
// the volume keeps no owners (FAT); failed with why otherwise.
outcome ownerOf(HANDLE file, ownerSid* owner)
{
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD error = systemCalls().getSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid,
                                                      nullptr, nullptr, nullptr, &sd);
    outcome read = outcome::done;
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION)
        read = {outcome::unsupported, errorText(error)};
    else if (error != ERROR_SUCCESS)
        read = {outcome::failed, errorText(error)};
    else if (!sid || !IsValidSid(sid))
        read = {outcome::unsupported, QStringLiteral("it has no owner")};
    else
        *owner = QByteArray(static_cast<const char*>(sid), int(GetLengthSid(sid)));
    LocalFree(sd);
    return read;
}

// The owner's name as the system shows it (DOMAIN\name), or its SID.
QString ownerName(const ownerSid& owner)
{
    PSID sid = const_cast<char*>(owner.constData());
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return domainSize ? QString::fromWCharArray(domain) + QLatin1Char('\\') + QString::fromWCharArray(name)
                          : QString::fromWCharArray(name);
    wchar_t* text = nullptr;
    QString shown = QStringLiteral("an account the system cannot name");
    if (ConvertSidToStringSidW(sid, &text)) {
        shown = QString::fromWCharArray(text);
        LocalFree(text);
    }
    return shown;
}

// SeRestorePrivilege enabled while this lives, where the user holds it: it
// lets an administrator give a file any owner.
class restorePrivilege
{
public:
    restorePrivilege()
    {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
            return;
        token_ = handle(token);
        TOKEN_PRIVILEGES wanted = {};
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        DWORD size = sizeof before_;
        if (LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &wanted.Privileges[0].Luid))
            adjusted_ = AdjustTokenPrivileges(token, FALSE, &wanted, sizeof before_, &before_, &size)
                        && GetLastError() == ERROR_SUCCESS;
    }
    ~restorePrivilege()
    {
        if (adjusted_)
            AdjustTokenPrivileges(token_.get(), FALSE, &before_, 0, nullptr, nullptr);
    }
    restorePrivilege(const restorePrivilege&) = delete;
    restorePrivilege& operator=(const restorePrivilege&) = delete;

private:
    handle token_;
    TOKEN_PRIVILEGES before_ = {};
    bool adjusted_ = false;
};

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

bool removeFile(const QString& path)
{
    return DeleteFileW(wpath(path));
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

bool writeAll(HANDLE file, const QByteArray& data)
{
    DWORD put = 0;
    for (int at = 0; at < data.size(); at += int(put))
        if (!WriteFile(file, data.constData() + at, DWORD(data.size() - at), &put, nullptr) || put == 0)
            return false;
    return true;
}

// An unpredictable name beside target.
QString randomName(const QString& target)
{
    return tempPrefix(target) + QString::number(QRandomGenerator::system()->generate64(), 36);
}

// The new bytes beside target under an unpredictable name, retried while
// taken; complete, flushed, with the attributes to keep and the writers'
// lock, so that the lock passes with the name where the handle may stay open.
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
    basic.FileAttributes = attributes & ~FILE_ATTRIBUTE_NORMAL;
    QString failed;
    if (!file.valid())
        failed = QStringLiteral("no free name for a new file beside it");
    else if (!writeAll(file.get(), data) || !FlushFileBuffers(file.get()))
        failed = QStringLiteral("writing the new file failed: ") + errorText(GetLastError());
    else if (basic.FileAttributes && !SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic))
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

bool moveTo(const QString& from, const QString& to)
{
    DWORD error = 0;
    return retrying([&] { return systemCalls().moveFile(wpath(from), wpath(to), MOVEFILE_WRITE_THROUGH); }, passing,
                    &error);
}

// After ReplaceFileW failed with error (name the new file, made, backup the
// name it was given for the old one), makes sure a complete copy stands
// under the file's name, whatever the system left, and says what it holds:
// failed when the old file is (back) there; incomplete when the new content
// had to be moved in, or, should neither go, where each copy is (*named
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
                          .arg(exists(backup) ? backup : QStringLiteral("no file (it is lost)"),
                               exists(name) ? name : QStringLiteral("no file (it is lost)"))};
    }
    if (holds(s.target, made)) {
        ncDebug() << "ReplaceFileW said" << errorText(error) << ", yet" << s.target << "holds the new file";
        *named = true;
        relock(s.target, fresh);
        if (exists(backup))
            removeFile(backup);
        return outcome::done;
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
    identify(fresh->get(), &made);
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

// The attributes a replacement keeps (the others the system manages).
constexpr DWORD keptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

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
