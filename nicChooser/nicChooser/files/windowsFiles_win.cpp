#include "windowsFiles_win.h"
#include "fileReplace.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <vector>
// (after windows.h)
#include <sddl.h>

namespace windowsFiles {

QString tempPrefix(const QString& target)
{
    const QFileInfo info(target);
    return QDir::toNativeSeparators(info.dir().filePath(QLatin1Char('.') + info.fileName()
                                                        + QLatin1String(".nicChooser-new.")));
}

QString savedName(const QString& target)
{
    const QFileInfo info(target);
    return QDir::toNativeSeparators(info.dir().filePath(
        QLatin1Char('.') + info.fileName() + QLatin1String(".nicChooser-saved.")
        + QString::number(QRandomGenerator::system()->generate64(), 36)));
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

bool passing(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED
           || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

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

handle openOnce(const QString& path, DWORD access, DWORD disposition, DWORD* error,
                DWORD flags)
{
    handle h(systemCalls().createFile(wpath(path), access, shareAll, nullptr, disposition, flags, nullptr));
    if (error)
        *error = h.valid() ? 0 : GetLastError();
    return h;
}

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

QString writeTarget(const QString& path)
{
    QFileInfo info(path);
    // A bounded walk: a loop of links must not hang the writer.
    for (int hops = 0; info.isSymLink() && hops < 40; ++hops)
        info.setFile(info.symLinkTarget());
    return QDir::toNativeSeparators(QDir::cleanPath(info.absoluteFilePath()));
}

bool identify(HANDLE file, identity* id, DWORD* attributes)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!systemCalls().getFileInformationByHandle(file, &info))
        return false;
    *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    if (attributes)
        *attributes = info.dwFileAttributes;
    return true;
}

bool holds(const QString& path, const identity& id)
{
    const handle now = openOnce(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    identity named;
    return now.valid() && identify(now.get(), &named) && named == id;
}

bool stillNamed(const QString& path, HANDLE file)
{
    identity id;
    return identify(file, &id) && holds(path, id);
}

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

bool removeFile(const QString& path)
{
    return DeleteFileW(wpath(path));
}

bool writeAll(HANDLE file, const QByteArray& data)
{
    DWORD put = 0;
    for (int at = 0; at < data.size(); at += int(put))
        if (!WriteFile(file, data.constData() + at, DWORD(data.size() - at), &put, nullptr) || put == 0)
            return false;
    return true;
}

QString randomName(const QString& target)
{
    return tempPrefix(target) + QString::number(QRandomGenerator::system()->generate64(), 36);
}

bool moveTo(const QString& from, const QString& to)
{
    DWORD error = 0;
    return retrying([&] { return systemCalls().moveFile(wpath(from), wpath(to), MOVEFILE_WRITE_THROUGH); }, passing,
                    &error);
}

} // namespace windowsFiles
