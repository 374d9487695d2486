#pragma once
// The Windows file layer's own tools (fileReplace_win.cpp): paths as the wide
// calls take them at any length, handles, opens tried again while another
// program holds a file a moment, a file's identity, its owner, and moves.

#include "outcome.h"
#include "windowsCalls.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <string>
#include <utility>
#include <windows.h>

namespace windowsFiles {

// ".<name>.nicChooser-new.": how the temporary files beside target begin,
// the new file's and ReplaceFileW's backup of the old one alike, so that the
// leftover sweep knows both.
QString tempPrefix(const QString& target);

// ".<name>.nicChooser-saved.<random>" beside target: where a copy goes that
// no swap could put under the name, kept from the leftover sweep until a
// person looks at it.
QString savedName(const QString& target);

QString errorText(DWORD error);

// path as the wide functions take it at any length: made absolute and
// normalised as the system normalises a path (GetFullPathNameW, which drops
// "." and ".." and trailing dots), then given the \\?\ prefix (\\?\UNC\ for
// a share), which lifts the MAX_PATH limit and turns normalising off.
std::wstring systemPath(const QString& path);

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
bool passing(DWORD error);

// Makes call until it succeeds or fails with an error again does not take,
// waiting retrySleepMs between tries, at most retrySleeps times: whether it
// succeeded, the last error in *error.
bool retrying(const std::function<bool()>& call, const std::function<bool(DWORD)>& again, DWORD* error);

// Every handle of ours lets others read, write and rename or replace the
// file, so that a waiting writer never stands in the way of the one at work.
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// One try at opening path; a failure's error in *error.
handle openOnce(const QString& path, DWORD access, DWORD disposition, DWORD* error = nullptr,
                DWORD flags = FILE_ATTRIBUTE_NORMAL);

// An existing file opened with access, tried again while again(error) says
// the error may pass; a failure's error in *error.
handle openExisting(const QString& path, DWORD access, DWORD* error, const std::function<bool(DWORD)>& again);

bool exists(const QString& path);

bool isFolder(const QString& path);

// The file a write to path really changes, absolute (ReplaceFileW takes no
// relative paths): the end of a chain of symbolic links, or path itself.
QString writeTarget(const QString& path);

struct identity {
    DWORD volume = 0, high = 0, low = 0;
    bool operator==(const identity& o) const { return volume == o.volume && high == o.high && low == o.low; }
};

bool identify(HANDLE file, identity* id, DWORD* attributes = nullptr);

// Whether path names the file id now. (Opening for attributes only meets no
// sharing mode.)
bool holds(const QString& path, const identity& id);

// Whether path names the file open as file now.
bool stillNamed(const QString& path, HANDLE file);

// The whole of file into *data: done, tooLarge or unreadable.
outcome readAll(HANDLE file, QByteArray* data);

// An owner (a SID) as the system stores it.
using ownerSid = QByteArray;

// The owner of the file open as file into *owner: done; unsupported when
// the volume keeps no owners (FAT); failed with why otherwise.
outcome ownerOf(HANDLE file, ownerSid* owner);

// The owner's name as the system shows it (DOMAIN\name), or its SID.
QString ownerName(const ownerSid& owner);

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

bool removeFile(const QString& path);

bool writeAll(HANDLE file, const QByteArray& data);

// An unpredictable name beside target.
QString randomName(const QString& target);

bool moveTo(const QString& from, const QString& to);

} // namespace windowsFiles
