#include "debugLog.h"
#include "fileReplace.h"
#include "writerLock.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <utility>
#include <windows.h>

namespace {

// At most this many times an edit starts over on what the name holds now.
constexpr int maxStarts = 100;

// ".<name>.nicChooser-new.": how the temporary files beside target begin.
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

const wchar_t* wide(const QString& s)
{
    return reinterpret_cast<const wchar_t*>(s.utf16());
}

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

// Every handle of ours lets others read, write and rename or replace the
// file, so that a waiting writer never stands in the way of the one at work.
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

handle openFile(const QString& path, DWORD access, DWORD disposition, DWORD attributes = FILE_ATTRIBUTE_NORMAL)
{
    return handle(CreateFileW(wide(path), access, shareAll, nullptr, disposition, attributes, nullptr));
}

// The file a write to path really changes, absolute (ReplaceFileW takes no
// relative paths): the end of a chain of symbolic links, or path itself.
QString writeTarget(const QString& path)
{
    QFileInfo info(path);
    // A bounded walk: a loop of links must not hang the writer.
    for (int hops = 0; info.isSymLink() && hops < 40; ++hops)
        info.setFile(info.symLinkTarget());
    return QDir::toNativeSeparators(info.absoluteFilePath());
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

// Whether path names the file open as file now.
bool stillNamed(const QString& path, HANDLE file)
{
    const handle now = openFile(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    identity a, b;
    return now.valid() && identify(now.get(), &a) && identify(file, &b) && a == b;
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

// Opens what s.target names now for writing or, when this user may not write
// it, for reading only, with s.replaceable saying why it will not be replaced:
// done, missing, or unreadable.
outcome openTarget(fileEditState& s)
{
    s.replaceable = outcome::done;
    s.file = openFile(s.target, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    identity id;
    DWORD held = 0;
    // Windows opens no read-only file for writing; Wine does, for root.
    if (s.file.valid() && identify(s.file.get(), &id, &held) && (held & FILE_ATTRIBUTE_READONLY))
        s.file = openFile(s.target, GENERIC_READ, OPEN_EXISTING);
    else if (s.file.valid())
        return outcome::done;
    const DWORD error = s.file.valid() ? ERROR_ACCESS_DENIED : GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
        return {outcome::missing, QStringLiteral("it does not exist")};
    if (error == ERROR_PATH_NOT_FOUND)
        return {outcome::unreadable,
                QStringLiteral("the folder %1 does not exist").arg(QFileInfo(s.target).absolutePath())};
    const DWORD attributes = GetFileAttributesW(wide(s.target));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return {outcome::unreadable, QStringLiteral("it is a folder")};
    if (!s.file.valid())
        s.file = openFile(s.target, GENERIC_READ, OPEN_EXISTING);
    if (error != ERROR_ACCESS_DENIED || !s.file.valid())
        return {outcome::unreadable, errorText(s.file.valid() ? error : GetLastError())};
    replaceFacts facts;
    facts.exists = true;
    facts.anyWriteBit = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_READONLY);
    facts.mayWriteFile = false;
    s.replaceable = mayReplace(facts);
    return outcome::done;
}

// New files of writers killed before they took the name; only the lock's
// holder may remove them, as only it can be making one.
void removeLeftovers(const QString& target)
{
    const QFileInfo leftover(tempPrefix(target));
    QDir folder = leftover.dir();
    for (const QString& name : folder.entryList({leftover.fileName() + '*'}, QDir::Files | QDir::Hidden))
        if (!DeleteFileW(wide(QDir::toNativeSeparators(folder.filePath(name)))))
            ncDebug() << "Can't remove the leftover" << folder.filePath(name) << ":" << errorText(GetLastError());
}


// why, told in a debug line: replacing path did not go.
outcome notReplaced(const QString& path, const outcome& why)
{
    ncDebug() << "Can't write" << path << ":" << why.reason() << "; the old file is untouched";
    return why;
}

} // namespace

namespace {

bool writeAll(HANDLE file, const QByteArray& data)
{
    DWORD put = 0;
    for (int at = 0; at < data.size(); at += int(put))
        if (!WriteFile(file, data.constData() + at, DWORD(data.size() - at), &put, nullptr) || put == 0)
            return false;
    return true;
}

// The new bytes beside target under an unpredictable name, retried while
// taken; complete, flushed, with the attributes to keep and the writers'
// lock, so that the lock passes with the name where the handle may stay open.
handle makeNewFile(const QString& target, const QByteArray& data, DWORD attributes, QString* name, outcome* result)
{
    handle file;
    for (int tries = 0; tries < 100 && !file.valid(); ++tries) {
        *name = tempPrefix(target) + QString::number(QRandomGenerator::system()->generate64(), 36);
        file = openFile(*name, GENERIC_READ | GENERIC_WRITE | DELETE, CREATE_NEW);
        const DWORD error = file.valid() ? 0 : GetLastError();
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
        DeleteFileW(wide(*name));
    }
    return handle();
}

// The attributes a replacement keeps (the others the system manages).
constexpr DWORD keptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Puts the new file (open as fresh) in the old one's place, and leaves fresh
// open on what the name then holds, locked if it can be. ReplaceFileW keeps
// the old file's security descriptor, its streams and its identity, but
// takes no replacement that is open anywhere (sharing violation): the new
// file's handle, and with it its lock, is let go for that moment, the old
// file's lock still held, and the name locked again at once; a writer that
// opened the new name in between may win it, and then this edit goes on
// without (its other file's lock still orders the two). A missing file is
// only created while its name is free, its lock kept throughout.
outcome swapIn(fileEditState& s, bool missing, const QString& name, handle* fresh)
{
    if (!missing)
        fresh->reset();
    const bool done = missing ? MoveFileExW(wide(name), wide(s.target), MOVEFILE_WRITE_THROUGH)
                              : ReplaceFileW(wide(s.target), wide(name), nullptr, 0, nullptr, nullptr);
    if (done && !missing) {
        *fresh = openFile(s.target, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
        if (!fresh->valid() || !tryWriterLock(fresh->get()))
            ncDebug() << "Another writer took" << s.target << "as soon as it was replaced; going on without its lock";
    }
    if (done)
        return outcome::done;
    const DWORD error = GetLastError();
    s.appeared = missing && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS);
    return {outcome::failed, s.appeared ? QStringLiteral("it was created by another writer meanwhile")
                                        : QStringLiteral("replacing it failed: ") + errorText(error)};
}

} // namespace

int maxPathBytes()
{
    return MAX_PATH - 1;
}

// Finds, locks and reads what the name holds now; see fileEdit.
outcome beginEdit(fileEditState& s, QByteArray* bytes, bool* missing)
{
    for (int start = 0; start < maxStarts; ++start) {
        bytes->clear();
        s.file.reset();
        s.locked = false;
        const outcome open = openTarget(s);
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
    outcome read = openTarget(s);
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
    const outcome swapped = swapIn(s, missing_, name, &fresh);
    if (!swapped.ok()) {
        fresh.reset();
        DeleteFileW(wide(name));
        return result_ = notReplaced(path_, swapped);
    }
    s.file = std::move(fresh);
    const DWORD attributes = GetFileAttributesW(wide(s.target));
    if (!missing_
        && (attributes == INVALID_FILE_ATTRIBUTES
            || (attributes & keptAttributes) != (s.attributes & keptAttributes))) {
        ncDebug() << "Wrote" << path_ << "but its attributes" << Qt::hex << s.attributes << "came out as" << attributes;
        result_ = {outcome::failed, QStringLiteral("its new content was written, but its attributes were not kept")};
        return result_;
    }
    bytes_ = data;
    missing_ = false;
    result_ = outcome::done;
    return result_;
}
