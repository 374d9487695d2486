#include "folderSecurity_win.h"
#include "startup.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QList>

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

// The Linux rule (startup_unix.cpp) the Windows way: every folder from the
// drive down to the plug-in folder, the folder itself and everything in it
// belong to one who may write anyway (administrators, SYSTEM,
// TrustedInstaller, the user running the tool), and no access list there
// lets anybody else write. A folder on the way that others may add to (the
// system drive's root lets every user make folders in it) is acceptable, as
// a sticky folder is on Linux: what matters there is that nobody else may
// remove or replace what it holds. Deny entries are not counted in anybody's favour. Each object
// stays open, without delete sharing, for as long as the program runs, so
// that nothing checked can be moved or replaced before the toolkit loads it.

namespace {

securityReader& reader()
{
    static securityReader r;
    return r;
}

const DWORD writeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_WRITE
                          | GENERIC_ALL | FILE_DELETE_CHILD; // FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY are the first two
const DWORD moveRights = DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
const DWORD replaceInsideRights = FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

const wchar_t* wide(const QString& s)
{
    return reinterpret_cast<const wchar_t*>(s.utf16());
}

QString sidText(PSID sid)
{
    QString text;
    LPWSTR string = nullptr;
    if (ConvertSidToStringSidW(sid, &string)) {
        text = QString::fromWCharArray(string);
        LocalFree(string);
    }
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        text += QStringLiteral(" (%1%2)")
                    .arg(domainSize ? QString::fromWCharArray(domain) + QLatin1Char('\\') : QString(),
                         QString::fromWCharArray(name));
    return text;
}

// Those who may write code for the tool anyway.
class trustedSids
{
public:
    trustedSids()
    {
        for (WELL_KNOWN_SID_TYPE type : {WinBuiltinAdministratorsSid, WinLocalSystemSid}) {
            DWORD size = SECURITY_MAX_SID_SIZE;
            std::vector<BYTE> sid(size);
            if (CreateWellKnownSid(type, nullptr, sid.data(), &size))
                sids_.push_back(sid);
        }
        PSID installer = nullptr;
        if (ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer)) {
            const BYTE* bytes = static_cast<const BYTE*>(installer);
            sids_.emplace_back(bytes, bytes + GetLengthSid(installer));
            LocalFree(installer);
        }
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD size = 0;
            GetTokenInformation(token, TokenUser, nullptr, 0, &size);
            std::vector<BYTE> buffer(size);
            if (size && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
                const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
                const BYTE* bytes = static_cast<const BYTE*>(user);
                sids_.emplace_back(bytes, bytes + GetLengthSid(user));
            }
            CloseHandle(token);
        }
    }
    bool contains(PSID sid) const
    {
        for (const std::vector<BYTE>& s : sids_)
            if (EqualSid(const_cast<BYTE*>(s.data()), sid))
                return true;
        return false;
    }

private:
    std::vector<std::vector<BYTE>> sids_;
};

const trustedSids& trusted()
{
    static const trustedSids t;
    return t;
}

// An object as checked: its owner and access list.
struct security {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    ~security()
    {
        if (descriptor)
            LocalFree(descriptor);
    }
};

pathReader& pathSeam()
{
    static pathReader r;
    return r;
}

// The path of the object open as h, as the system names it now.
QString finalPath(HANDLE h)
{
    return pathSeam() ? pathSeam()(h) : systemPath(h);
}

// Opens path to be checked and kept as it is: no delete sharing, so that it
// cannot be moved or replaced while the program holds it (the system weighs
// a handle's sharing only when it may read data: FILE_READ_DATA, which is
// FILE_LIST_DIRECTORY for a folder). A link is followed, as the loader would
// follow it.
HANDLE openKept(const QString& path)
{
    return CreateFileW(wide(QDir::toNativeSeparators(path)), READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_READ_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

// The handles of everything checked, held until the program ends.
std::vector<HANDLE>& kept()
{
    static std::vector<HANDLE> handles;
    return handles;
}

// Someone other than those trusted whom dacl lets do any of rights; empty when nobody.
QString grantee(PACL dacl, DWORD rights)
{
    if (!dacl)
        return QStringLiteral("anybody (there is no access list, which lets everyone do anything)");
    ACL_SIZE_INFORMATION size;
    if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation))
        return QStringLiteral("someone (the access list cannot be read)");
    QString who;
    for (DWORD i = 0; i < size.AceCount && who.isEmpty(); ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) {
            who = QStringLiteral("someone (the access list cannot be read)");
            break;
        }
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
        // An entry only for what is made inside applies to that, not here.
        if (header->AceFlags & INHERIT_ONLY_ACE)
            continue;
        switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
            break;
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            continue;
        default:
            // An object or compound entry, or a type newer than this program,
            // may grant anything: it is not read as granting nothing.
            who = QStringLiteral("someone (an entry of type %1 cannot be judged)").arg(header->AceType);
            continue;
        }
        const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & rights) && !trusted().contains(sid))
            who = sidText(sid);
    }
    return who;
}

// Opens path and reads its security into *s; why not, when it cannot.
outcome examined(const QString& path, security* s)
{
    const HANDLE h = openKept(path);
    if (h == INVALID_HANDLE_VALUE)
        return {outcome::refused, QStringLiteral("%1 cannot be examined (error %2)")
                                      .arg(QDir::toNativeSeparators(path))
                                      .arg(GetLastError())};
    kept().push_back(h);
    // Everything checked lies on the folder's own way or in it: what leads
    // elsewhere is a link or junction, and the folder is not used.
    const QString real = finalPath(h);
    if (QDir::cleanPath(real).compare(QDir::cleanPath(QDir::fromNativeSeparators(path)), Qt::CaseInsensitive) != 0)
        return {outcome::refused, QStringLiteral("%1 leads to %2: a link or junction, which is not followed")
                                      .arg(QDir::toNativeSeparators(path),
                                           real.isEmpty() ? QStringLiteral("nowhere") : QDir::toNativeSeparators(real))};
    const securityReader& r = reader();
    const DWORD error =
        r ? r(h, &s->owner, &s->dacl, &s->descriptor) : systemSecurity(h, &s->owner, &s->dacl, &s->descriptor);
    if (error != ERROR_SUCCESS)
        return {outcome::refused, QStringLiteral("the owner and access list of %1 cannot be read (error %2)")
                                      .arg(QDir::toNativeSeparators(path))
                                      .arg(error)};
    return outcome::done;
}

// The owner of s (at path) is one of those trusted.
outcome trustedOwner(const QString& path, const security& s)
{
    if (s.owner && trusted().contains(s.owner))
        return outcome::done;
    return {outcome::refused, QStringLiteral("%1 (owner %2) belongs to another user")
                                  .arg(QDir::toNativeSeparators(path),
                                       s.owner ? sidText(s.owner) : QStringLiteral("none"))};
}

// Whether path, as it stands, holds only code of those trusted.
outcome trustedEntry(const QString& path, const security& s)
{
    const outcome owner = trustedOwner(path, s);
    if (!owner.ok())
        return owner;
    const QString who = grantee(s.dacl, writeRights);
    if (!who.isEmpty())
        return {outcome::refused,
                QStringLiteral("%1 may be written by others: %2").arg(QDir::toNativeSeparators(path), who)};
    return outcome::done;
}

// Every folder from the drive down to the folder at path (which holds no
// link), and what it names itself.
outcome trustedComponents(const QString& path)
{
    const QStringList parts = QDir::fromNativeSeparators(path).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return {outcome::refused, QStringLiteral("%1 names no folder").arg(path)};
    // "C:" or, for a share, "//server/share".
    const bool share = path.startsWith(QLatin1String("\\\\")) || path.startsWith(QLatin1String("//"));
    const int top = share ? 2 : 1;
    if (parts.size() < top)
        return {outcome::refused, QStringLiteral("%1 names no folder").arg(path)};
    QString here = (share ? QStringLiteral("//") : QString()) + QStringList(parts.mid(0, top)).join(QLatin1Char('/'))
                   + QLatin1Char('/');
    security parent;
    outcome o = examined(here, &parent);
    if (!o.ok())
        return o;
    for (int i = top; i < parts.size(); ++i) {
        const QString next = here + parts.at(i);
        security entry;
        o = examined(next, &entry);
        if (!o.ok())
            return o;
        // Another who may remove or replace what the folder above holds, or
        // move this entry away, could put a folder of theirs here.
        if (!trustedOwner(here, parent).ok())
            return trustedOwner(here, parent);
        QString who = grantee(parent.dacl, replaceInsideRights);
        if (!who.isEmpty())
            return {outcome::refused, QStringLiteral("%1 may be written by others: %2 may remove or replace what "
                                                     "it holds")
                                          .arg(QDir::toNativeSeparators(here), who)};
        o = trustedOwner(next, entry);
        if (!o.ok())
            return o;
        who = grantee(entry.dacl, moveRights);
        if (!who.isEmpty())
            return {outcome::refused, QStringLiteral("%1 may be written by others: %2 may move it away")
                                          .arg(QDir::toNativeSeparators(next), who)};
        std::swap(parent.descriptor, entry.descriptor);
        std::swap(parent.owner, entry.owner);
        std::swap(parent.dacl, entry.dacl);
        here = next + QLatin1Char('/');
    }
    here.chop(1);
    return trustedEntry(here, parent);
}

} // namespace

DWORD systemSecurity(HANDLE file, PSID* owner, PACL* dacl, PSECURITY_DESCRIPTOR* descriptor)
{
    return GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, owner,
                           nullptr, dacl, nullptr, descriptor);
}

QString systemPath(HANDLE h)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), DWORD(buffer.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0)
            return QString();
        if (n < buffer.size()) {
            QString path = QString::fromWCharArray(buffer.data(), int(n));
            if (path.startsWith(QLatin1String("\\\\?\\UNC\\")))
                path = QLatin1String("\\\\") + path.mid(8);
            else if (path.startsWith(QLatin1String("\\\\?\\")))
                path = path.mid(4);
            return QDir::fromNativeSeparators(path);
        }
        buffer.resize(n + 1);
    }
}

void setPathReader(const pathReader& r)
{
    pathSeam() = r;
}

void releaseCheckedFolder()
{
    for (HANDLE h : kept())
        CloseHandle(h);
    kept().clear();
}

void setSecurityReader(const securityReader& r)
{
    reader() = r;
}

outcome trustedCodeFolder(const QString& folder, QString* resolved)
{
    // The path as given leads somewhere; what it leads to, named as the
    // system names it, is what is checked and what the toolkit gets.
    const HANDLE given = CreateFileW(wide(QDir::toNativeSeparators(folder)), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (given == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return {outcome::missing, QStringLiteral("does not exist")};
        return {outcome::refused, QStringLiteral("%1 cannot be opened (error %2)").arg(folder).arg(error)};
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool isFolder =
        GetFileInformationByHandle(given, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    const QString real = finalPath(given);
    CloseHandle(given);
    if (!isFolder)
        return {outcome::refused, QStringLiteral("%1 is not a folder").arg(folder)};
    if (real.isEmpty())
        return {outcome::refused, QStringLiteral("it leads nowhere the system can name")};
    // What an earlier call checked is not held any more; a folder not used
    // is not held either.
    releaseCheckedFolder();
    auto release = [](const outcome& why) {
        releaseCheckedFolder();
        return why;
    };
    outcome why = trustedComponents(real);
    if (!why.ok())
        return release(why);
    QDirIterator it(real, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString entry = it.next();
        security s;
        why = examined(entry, &s);
        if (why.ok())
            why = trustedEntry(entry, s);
        if (!why.ok())
            return release(why);
    }
    *resolved = real;
    return outcome::done;
}

bool toolkitLibraryFound(const QString& name)
{
    // The loader looks beside the program first, where this program's
    // toolkit libraries lie; one of another build found elsewhere would
    // bring a second toolkit into the process.
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return false;
    HMODULE core = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&qVersion), &core))
        return false;
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(core, buffer.data(), DWORD(buffer.size()));
        if (n == 0)
            return false;
        if (n < buffer.size())
            return QFileInfo::exists(QFileInfo(QString::fromWCharArray(buffer.data(), int(n))).absolutePath()
                                     + QLatin1Char('/') + name);
        buffer.resize(buffer.size() * 2);
    }
}
