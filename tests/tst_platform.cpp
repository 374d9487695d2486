#include "binaryImage.h"
#include "console.h"
#include "display.h"
#include "modulePath.h"
#include "startup.h"
#include "testSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <pwd.h>

#include <sys/stat.h>
#include <unistd.h>

#ifdef Q_OS_WIN
#include "console_win.h"
#include "display_win.h"
#include "folderSecurity_win.h"
#include "modulePath_win.h"

#include <cstring>
#include <iterator>

#include <aclapi.h>
#include <sddl.h>
#include <windows.h>
#endif

// Before the dialog: whether the installation's plug-in folder is handed to
// the toolkit, what a binary says of itself, the executable's own path, the
// standard handles a console is attached for, the error mode the program
// starts with and the session whose windows nobody sees.

class tst_platform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pluginFolder_data();
    void pluginFolder();
    void binaryHeaders_data();
    void binaryHeaders();
    void moduleName_data();
    void moduleName();
    void standardHandles_data();
    void standardHandles();
    void errorMode_data();
    void errorMode();
    void session_data();
    void session();

private:
    QTemporaryDir root;
};

void tst_platform::initTestCase()
{
    qputenv("CC_ROOT", QFile::encodeName(root.path()));
    qputenv("CC_SYSTEM", "SYS");
}

// The plug-ins are code the tool runs, often as root: the installation's
// folder serves only when it can, and only when nobody else could have put
// code into it; the toolkit gets exactly the folder that was checked.
void tst_platform::pluginFolder_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("used");
    QTest::addColumn<QString>("said"); // in the debug line when not used
    QTest::newRow("platform plug-in present") << "plugin" << true << "";
    QTest::newRow("link to the system's plug-ins") << "system-link" << true << "";
    QTest::newRow("folder absent") << "" << false << "does not exist";
    QTest::newRow("only CC_ROOT set") << "plugin no-system" << false << "";
    QTest::newRow("Windows plug-ins only") << "windows-only" << false << "holds no platform plug-in for offscreen";
    // Without offscreen, a run with nobody to see it would have nothing to start.
    QTest::newRow("only the X11 plug-in") << "xcb-only" << false << "holds no platform plug-in for offscreen";
    QTest::newRow("plug-in others may write") << "plugin plugin-writable" << false << "may be written by others";
    QTest::newRow("installation folder others may write")
        << "plugin root-writable" << false << "may be written by others";
    QTest::newRow("the plug-in folder itself others may write")
        << "plugin folder-writable" << false << "may be written by others";
    QTest::newRow("plug-in folder of another user") << "plugin folder-nobody" << false << "belongs to another user";
    QTest::newRow("a trusted installation reached through a co-user's link")
        << "plugin through-link" << false << "so it is not followed";
    QTest::newRow("a link in the folder that leads through a co-user's folder")
        << "link-via-user" << false << "belongs to another user";
    // An installation made for an older 32-bit build: nothing there loads here.
    QTest::newRow("a plug-in for another machine (32-bit x86)")
        << "foreign" << false << "platforms/" + platformPluginName("offscreen")
                                     + " is for 32-bit x86; this program is 64-bit x86-64";
    QTest::newRow("a plug-in for another machine beside one that loads")
        << "plugin foreign-xcb" << false << "platforms/" + platformPluginName("xcb") + " is for 32-bit x86";
    QTest::newRow("a plug-in built with another minor version of the toolkit")
        << "old-toolkit" << false << "was built with toolkit 5.8; this program runs on " + QString(qVersion());
    QTest::newRow("a plug-in needing a toolkit library this toolkit has not")
        << "missing-library" << false << "needs the toolkit library " + toolkitLibraryName("Gux")
                                             + ", which this program's toolkit does not have";
    QTest::newRow("a plug-in cut short: the libraries it needs cannot be read")
        << "cut" << false << "names the libraries it needs in a way that cannot be read";
    // Access lists on Windows: the folder as Wine makes it, and what only
    // Windows makes, put in place of GetSecurityInfo's answer for one object.
    QTest::newRow("Windows: a plug-in whose DACL lets Everyone write it, set with SetNamedSecurityInfoW")
        << "plugin acl-world-write" << false << "may be written by others: S-1-1-0";
    QTest::newRow("Windows: GetSecurityInfo names another account as the plug-in folder's owner")
        << "plugin inject-owner-other" << false << "belongs to another user";
    QTest::newRow("Windows: a folder made in the drive's root inherits Modify for Authenticated Users")
        << "plugin inject-inherited-modify" << false << "may be written by others: S-1-5-11";
    QTest::newRow("Windows: the drive's root lets Authenticated Users add folders, and Modify only inside (its "
                  "default)")
        << "plugin inject-root-default" << true << "";
    QTest::newRow("Windows: a plug-in with a null DACL, which grants everyone full access")
        << "plugin inject-null-dacl" << false << "may be written by others: anybody";
    QTest::newRow("Windows: Everyone may delete children of the installation's folder (FILE_DELETE_CHILD)")
        << "plugin inject-delete-child" << false << "may remove or replace what it holds";
    QTest::newRow("Windows: Everyone may delete the installation's folder itself (DELETE), so move it away")
        << "plugin inject-delete-top" << false << "may move it away";
    QTest::newRow("Windows: GetFinalPathNameByHandleW names another file for the plug-in (a symbolic link)")
        << "plugin inject-link" << false << "a link or junction, which is not followed";
    QTest::newRow("Windows: TrustedInstaller owns the plug-in folder, only Administrators and SYSTEM may write")
        << "plugin inject-installer" << true << "";
    QTest::newRow("Windows: a deny entry for Everyone does not outweigh an allow entry for Users")
        << "plugin inject-deny-allow" << false << "may be written by others: S-1-5-32-545";
    // Allow entries of other layouts grant what their mask says to whom
    // their SID names, under conditions this program does not weigh.
    QTest::newRow("Windows: an ACCESS_ALLOWED_OBJECT_ACE_TYPE entry (5) letting Everyone write cannot be judged")
        << "plugin inject-ace-type-5" << false << "someone (an entry of type 5 cannot be judged)";
    QTest::newRow("Windows: an ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE entry (11), granting under a condition, "
                  "cannot be judged")
        << "plugin inject-ace-type-11" << false << "someone (an entry of type 11 cannot be judged)";
    QTest::newRow("Windows: an entry of a type no AceType constant names (48) cannot be judged")
        << "plugin inject-ace-type-48" << false << "someone (an entry of type 48 cannot be judged)";
}

#ifdef Q_OS_WIN
namespace {

PSID sidOf(const wchar_t* text)
{
    PSID sid = nullptr;
    ConvertStringSidToSidW(text, &sid);
    return sid; // kept for the test program's life
}

// A self-relative descriptor holding owner and the entries of dacl, then
// added (each: flags, mask, SID text; an 'D' in front of the text denies,
// "T<type>:" makes an entry of that ACE type, laid out as an allow entry with
// an object entry's Flags word where the type has one), as GetSecurityInfo
// hands one out.
DWORD describe(PSID owner, PACL dacl, const QList<std::tuple<BYTE, DWORD, QString>>& added, bool nullDacl,
               PSID* ownerOut, PACL* daclOut, PSECURITY_DESCRIPTOR* out)
{
    std::vector<BYTE> acl(8192);
    PACL made = reinterpret_cast<PACL>(acl.data());
    InitializeAcl(made, DWORD(acl.size()), ACL_REVISION_DS);
    const auto add = [&](BYTE flags, DWORD mask, const QString& who) {
        if (who.startsWith('T')) {
            const BYTE type = BYTE(who.mid(1).section(':', 0, 0).toUInt());
            PSID sid = sidOf(reinterpret_cast<const wchar_t*>(who.section(':', 1).utf16()));
            const bool object =
                type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
            std::vector<BYTE> ace(sizeof(ACE_HEADER) + sizeof(DWORD) * (object ? 2 : 1) + GetLengthSid(sid));
            ACE_HEADER header{type, flags, WORD(ace.size())};
            memcpy(ace.data(), &header, sizeof header);
            memcpy(ace.data() + sizeof header, &mask, sizeof mask); // an object entry's Flags stay 0: no GUIDs
            CopySid(GetLengthSid(sid), ace.data() + ace.size() - GetLengthSid(sid), sid);
            AddAce(made, ACL_REVISION_DS, MAXDWORD, ace.data(), DWORD(ace.size()));
            return;
        }
        const bool deny = who.startsWith('D');
        PSID sid = sidOf(reinterpret_cast<const wchar_t*>(who.mid(deny ? 1 : 0).utf16()));
        if (deny)
            AddAccessDeniedAceEx(made, ACL_REVISION, flags, mask, sid);
        else
            AddAccessAllowedAceEx(made, ACL_REVISION, flags, mask, sid);
    };
    for (const auto& a : added)
        if (std::get<2>(a).startsWith('D'))
            add(std::get<0>(a), std::get<1>(a), std::get<2>(a));
    ACL_SIZE_INFORMATION size{};
    if (dacl && GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) {
        for (DWORD i = 0; i < size.AceCount; ++i) {
            void* ace = nullptr;
            if (GetAce(dacl, i, &ace))
                AddAce(made, ACL_REVISION, MAXDWORD, ace, static_cast<ACE_HEADER*>(ace)->AceSize);
        }
    }
    for (const auto& a : added)
        if (!std::get<2>(a).startsWith('D'))
            add(std::get<0>(a), std::get<1>(a), std::get<2>(a));
    SECURITY_DESCRIPTOR absolute;
    InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&absolute, owner, FALSE);
    SetSecurityDescriptorDacl(&absolute, TRUE, nullDacl ? nullptr : made, FALSE);
    DWORD length = 0;
    MakeSelfRelativeSD(&absolute, nullptr, &length);
    *out = LocalAlloc(LMEM_FIXED, length);
    if (!MakeSelfRelativeSD(&absolute, *out, &length))
        return GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorOwner(*out, ownerOut, &defaulted);
    GetSecurityDescriptorDacl(*out, &present, daclOut, &defaulted);
    return ERROR_SUCCESS;
}

// In place of GetSecurityInfo: for the object whose final path ends with
// target, what the documented case says; every other as the system reads it.
void injectSecurity(const QString& kind, const QString& install)
{
    const QString lib = QFileInfo(install + "/SYS/windows/lib").canonicalFilePath();
    const QString top = QFileInfo(install).canonicalFilePath();
    setSecurityReader([=](HANDLE h, PSID* owner, PACL* dacl, PSECURITY_DESCRIPTOR* descriptor) -> DWORD {
        const QString path = systemPath(h);
        const bool isLib = path.endsWith(lib, Qt::CaseInsensitive);
        const bool isTop = path.endsWith(top, Qt::CaseInsensitive);
        const bool isRoot = path.endsWith(":/");
        const bool isPlugin = path.endsWith("/platforms/" + platformPluginName("offscreen"), Qt::CaseInsensitive);
        PSECURITY_DESCRIPTOR real = nullptr;
        PSID realOwner = nullptr;
        PACL realDacl = nullptr;
        const DWORD error = systemSecurity(h, &realOwner, &realDacl, &real);
        if (error != ERROR_SUCCESS)
            return error;
        QList<std::tuple<BYTE, DWORD, QString>> added;
        PSID newOwner = realOwner;
        bool nullDacl = false;
        bool changed = true;
        const DWORD modify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
        if (kind == "inject-owner-other" && isLib)
            newOwner = sidOf(L"S-1-5-21-1004336348-1177238915-682003330-1001");
        else if (kind == "inject-inherited-modify" && isLib)
            added << std::make_tuple(BYTE(INHERITED_ACE | OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE), modify,
                                     QString("S-1-5-11"));
        else if (kind == "inject-root-default" && isRoot)
            added << std::make_tuple(BYTE(0), DWORD(FILE_APPEND_DATA), QString("S-1-5-11"))
                  << std::make_tuple(BYTE(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE),
                                     DWORD(GENERIC_ALL), QString("S-1-5-11"))
                  << std::make_tuple(BYTE(CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE), DWORD(GENERIC_ALL),
                                     QString("S-1-3-0"));
        else if (kind == "inject-null-dacl" && isPlugin)
            nullDacl = true;
        else if (kind == "inject-delete-top" && isTop)
            added << std::make_tuple(BYTE(0), DWORD(DELETE), QString("S-1-1-0"));
        else if (kind == "inject-delete-child" && isTop)
            added << std::make_tuple(BYTE(0), DWORD(FILE_DELETE_CHILD), QString("S-1-1-0"));
        else if (kind == "inject-installer" && isLib) {
            newOwner = sidOf(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
            added << std::make_tuple(BYTE(0), DWORD(FILE_ALL_ACCESS), QString("S-1-5-32-544"))
                  << std::make_tuple(BYTE(0), DWORD(FILE_ALL_ACCESS), QString("S-1-5-18"));
        } else if (kind.startsWith("inject-ace-type-") && isLib)
            added << std::make_tuple(BYTE(0), DWORD(FILE_WRITE_DATA),
                                     "T" + kind.section('-', 3) + QString(":S-1-1-0"));
        else if (kind == "inject-deny-allow" && isLib)
            added << std::make_tuple(BYTE(0), DWORD(FILE_WRITE_DATA), QString("DS-1-1-0"))
                  << std::make_tuple(BYTE(0), DWORD(FILE_WRITE_DATA), QString("S-1-5-32-545"));
        else
            changed = false;
        if (!changed) {
            *owner = realOwner;
            *dacl = realDacl;
            *descriptor = real;
            return ERROR_SUCCESS;
        }
        const DWORD made = describe(newOwner, realDacl, added, nullDacl, owner, dacl, descriptor);
        LocalFree(real);
        return made;
    });
}

// Everyone may write the file: a DACL of the user's and Everyone's write,
// through the call an installer would use; false when the system does not
// keep it.
bool letEveryoneWrite(const QString& path)
{
    EXPLICIT_ACCESSW access[1] = {};
    access[0].grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    access[0].grfAccessMode = GRANT_ACCESS;
    access[0].grfInheritance = NO_INHERITANCE;
    access[0].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access[0].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access[0].Trustee.ptstrName = static_cast<LPWSTR>(sidOf(L"S-1-1-0"));
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    PACL old = nullptr, now = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old,
                              nullptr, &sd)
        != ERROR_SUCCESS)
        return false;
    const bool set = SetEntriesInAclW(1, access, old, &now) == ERROR_SUCCESS
                     && SetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()), SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION, nullptr, nullptr, now, nullptr)
                            == ERROR_SUCCESS;
    LocalFree(now);
    LocalFree(sd);
    // Read back: the row stands only on an access list the system kept.
    PACL back = nullptr;
    if (!set || GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &back, nullptr, &sd)
                    != ERROR_SUCCESS)
        return false;
    bool granted = false;
    ACL_SIZE_INFORMATION size{};
    if (back && GetAclInformation(back, &size, sizeof size, AclSizeInformation))
        for (DWORD i = 0; i < size.AceCount; ++i) {
            void* ace = nullptr;
            if (GetAce(back, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
                const ACCESS_ALLOWED_ACE* a = static_cast<ACCESS_ALLOWED_ACE*>(ace);
                granted = granted
                          || ((a->Mask & FILE_WRITE_DATA)
                              && EqualSid(const_cast<DWORD*>(&a->SidStart), sidOf(L"S-1-1-0")));
            }
        }
    LocalFree(sd);
    return granted;
}

} // namespace
#endif

namespace {

// A platform plug-in of the system's, copied (name: its file name).
void copyPlatform(const QString& name, const QString& to)
{
    const QString from = toolkitPlatformsFolder() + "/" + name;
    QVERIFY2(QFile::copy(from, to + "/" + name), qPrintable(from));
}

// The toolkit's platform plug-in for platform, patched, into folder; false
// when the patch finds nothing to change.
bool patchedPlatform(const QString& platform, const QString& patch, const QString& folder)
{
    const QString name = platformPluginName(platform);
    const QByteArray real = readBytes(toolkitPlatformsFolder() + "/" + name);
    const QByteArray bytes = patch == "foreign"       ? asForeignMachine(real)
                             : patch == "old-toolkit" ? asBuiltWithMinor(real, 8)
                             : patch == "cut"         ? real.left(4096)
                                                      : withNeededRenamed(real, toolkitLibraryName("Gui").toLatin1(),
                                                                          toolkitLibraryName("Gux").toLatin1());
    if (bytes.isEmpty() || bytes == real)
        return false;
    writeBytes(folder + "/" + name, bytes);
    return true;
}

// The installation for a row of pluginFolder, in install; false when it
// cannot be had here.
bool makeInstallation(const QStringList& words, const QString& install, const QString& home)
{
    const QString folder = install + "/SYS/windows/lib";
    const QString platforms = folder + "/platforms";
    if (words.contains("plugin") || words.contains("xcb-only") || words.contains("windows-only"))
        QDir().mkpath(platforms);
    if (words.contains("plugin"))
        copyPlatform(platformPluginName("offscreen"), platforms);
    if (words.contains("xcb-only"))
        copyPlatform("libqxcb.so", platforms);
    if (words.contains("windows-only"))
        writeBytes(platforms + "/qwindows.dll", "MZ");
    for (const char* patch : {"foreign", "old-toolkit", "missing-library", "cut"}) {
        if (words.contains(patch)) {
            QDir().mkpath(platforms);
            if (!patchedPlatform("offscreen", patch, platforms))
                return false;
        }
    }
    if (words.contains("foreign-xcb") && !patchedPlatform("xcb", "foreign", platforms))
        return false;
    if (words.contains("system-link")) {
        QDir().mkpath(folder);
        QFile::link(QLibraryInfo::location(QLibraryInfo::PluginsPath) + "/platforms", platforms);
    }
    if (words.contains("plugin-writable"))
        QFile::setPermissions(platforms + "/libqoffscreen.so", QFileDevice::Permissions(0x6666));
    if (words.contains("root-writable"))
        QFile::setPermissions(install, QFileDevice::Permissions(0x7777));
    if (words.contains("folder-writable"))
        QFile::setPermissions(folder, QFileDevice::Permissions(0x7777));
    const bool users =
        words.contains("folder-nobody") || words.contains("through-link") || words.contains("link-via-user");
    if (!users)
        return true;
    if (!isRoot() || !testUsers().ready)
        return false;
    const passwd* owner = ::getpwnam(testUsers().owner.toLocal8Bit().constData());
    if (words.contains("folder-nobody"))
        return ::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0;
    const QByteArray h = QFile::encodeName(home);
    if (::chown(h.constData(), owner->pw_uid, owner->pw_gid) != 0)
        return false;
    if (words.contains("through-link")) {
        const QByteArray link = h + "/cc";
        return ::symlink(QFile::encodeName(install).constData(), link.constData()) == 0
               && ::lchown(link.constData(), owner->pw_uid, owner->pw_gid) == 0;
    }
    // The link in the folder is root's, the folder it lies in the co-user's.
    const QByteArray via = h + "/platforms";
    QDir().mkpath(folder);
    return ::symlink(QFile::encodeName(QLibraryInfo::location(QLibraryInfo::PluginsPath) + "/platforms").constData(),
                     via.constData())
               == 0
           && QFile::link(home + "/platforms", platforms);
}

} // namespace

void tst_platform::pluginFolder()
{
    QFETCH(QString, setup);
    QFETCH(bool, used);
    QFETCH(QString, said);
    const QStringList words = setup.split(' ', Qt::SkipEmptyParts);
#ifndef Q_OS_WIN
    if (setup.contains("acl-") || setup.contains("inject-"))
        QSKIP("a Windows access list");
#endif
    for (const char* linux : {"system-link", "xcb-only", "windows-only", "plugin-writable", "root-writable",
                              "folder-writable", "folder-nobody", "through-link", "link-via-user", "foreign-xcb"})
        if (words.contains(linux))
            NC_LINUX_ONLY("Linux owners, modes, links or the X11 plug-in");
    const QStringList defaults = QCoreApplication::libraryPaths();
    QTemporaryDir install, home;
    ::chmod(QFile::encodeName(home.path()).constData(), 0755);
    const QString folder = install.path() + "/SYS/windows/lib";
    NC_REQUIRE(makeInstallation(words, install.path(), home.path()),
               QStringLiteral("needs root and throw-away users (package passwd), and the toolkit's offscreen and X11 "
                              "plug-ins"));
#ifdef Q_OS_WIN
    if (words.contains("acl-world-write"))
        NC_REQUIRE(letEveryoneWrite(folder + "/platforms/" + platformPluginName("offscreen")),
                   QStringLiteral("a DACL set with SetNamedSecurityInfoW that the system keeps"));
    if (words.contains("inject-link")) {
        // What a symbolic link there leads the loader to, as the system names it.
        const QString elsewhere = QFileInfo(home.path()).canonicalFilePath() + "/" + platformPluginName("offscreen");
        setPathReader([elsewhere](HANDLE h) {
            const QString path = systemPath(h);
            return path.endsWith("/platforms/" + platformPluginName("offscreen"), Qt::CaseInsensitive) ? elsewhere
                                                                                                       : path;
        });
    }
    for (const QString& word : words)
        if (word.startsWith("inject-"))
            injectSecurity(word, install.path());
    auto restore = qScopeGuard([] {
        setSecurityReader(securityReader());
        setPathReader(pathReader());
    });
#endif
    const QByteArray savedRoot = qgetenv("CC_ROOT");
    const QByteArray savedSystem = qgetenv("CC_SYSTEM");
    qputenv("CC_ROOT", QFile::encodeName(words.contains("through-link") ? home.path() + "/cc" : install.path()));
    if (words.contains("no-system"))
        qunsetenv("CC_SYSTEM");
    else
        qputenv("CC_SYSTEM", "SYS");
    debugCapture capture;
    const QString result = useInstallationPlugins();
#ifdef Q_OS_WIN
    // While the folder is used, what was checked cannot be moved away; once
    // let go, it can.
    const std::wstring checked =
        QDir::toNativeSeparators(folder + "/platforms/" + platformPluginName("offscreen")).toStdWString();
    const std::wstring aside = checked + L"-aside";
    const bool movedWhileHeld = MoveFileW(checked.c_str(), aside.c_str());
    if (movedWhileHeld)
        MoveFileW(aside.c_str(), checked.c_str());
    releaseCheckedFolder();
    const bool movedOnceLetGo = MoveFileW(checked.c_str(), aside.c_str()) && MoveFileW(aside.c_str(), checked.c_str());
#endif
    releaseCheckedFolder(); // so that the row's folders can go
    // What the Windows start-up counts on in the toolkit's own folders too:
    // a plug-in that cannot be loaded serves nothing.
    const QStringList served = platformPluginsIn(folder + "/platforms");
    const QStringList paths = QCoreApplication::libraryPaths();
    QCoreApplication::setLibraryPaths(defaults);
    qputenv("CC_ROOT", savedRoot);
    qputenv("CC_SYSTEM", savedSystem);

    if (used) {
        // As the system names it, with no link on the way.
        const QString resolved = QFileInfo(folder).canonicalFilePath();
        QCOMPARE(result, resolved);
        QCOMPARE(paths, QStringList{resolved});
#ifdef Q_OS_WIN
        QVERIFY2(!movedWhileHeld, "the checked folder was moved away while used");
        QVERIFY(movedOnceLetGo);
#endif
    } else {
        QVERIFY(result.isEmpty());
        QCOMPARE(paths, defaults);
        const QString debug = capture.texts().join('\n');
        QVERIFY2(debug.contains(said), qPrintable(debug));
        if (!words.contains("no-system") && !words.contains("through-link"))
            QVERIFY2(QDir::fromNativeSeparators(debug).contains(folder), qPrintable(debug));
    }
    if (words.contains("plugin"))
        QVERIFY2(served.contains("offscreen"), qPrintable(served.join(' ')));
    for (const char* patch : {"foreign", "old-toolkit", "missing-library", "cut"})
        if (words.contains(patch))
            QVERIFY2(served.isEmpty(), qPrintable(served.join(' ')));
}

// The headers of real ELF and PE files, as built and patched, on either
// system: what decides whether a plug-in can be loaded here.
void tst_platform::binaryHeaders_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("patch");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("machine");
    QTest::addColumn<bool>("neededRead");
    QTest::addColumn<QStringList>("needed"); // the first of the file's needed libraries, in order
    const QString elf = "/usr/lib/x86_64-linux-gnu/qt5/plugins/platforms/libqoffscreen.so";
    const QString pe64 = "/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++-6.dll";
    const QString pe32 = "/usr/lib/gcc/i686-w64-mingw32/12-posix/libstdc++-6.dll";
    const QStringList elfNeeds{"libglib-2.0.so.0", "libfontconfig.so.1", "libfreetype.so.6", "libQt5Gui.so.5",
                               "libQt5Core.so.5"};
    const QStringList mingwNeeds{"KERNEL32.dll", "msvcrt.dll", "libwinpthread-1.dll"};
    QTest::newRow("ELF: the offscreen plug-in, 64-bit x86-64, its DT_NEEDED names")
        << elf << "" << int(binaryImage::elf) << "64-bit x86-64" << true << elfNeeds;
    QTest::newRow("ELF patched to class 32 and e_machine 3: 32-bit x86")
        << elf << "foreign" << int(binaryImage::elf) << "32-bit x86" << false << QStringList();
    QTest::newRow("ELF cut after its header: the machine, no needed names")
        << elf << "head 64" << int(binaryImage::elf) << "64-bit x86-64" << false << QStringList();
    QTest::newRow("ELF cut inside its dynamic segment: needed names not read")
        << elf << "head 4096" << int(binaryImage::elf) << "64-bit x86-64" << false << QStringList();
    QTest::newRow("PE32+: MinGW's 64-bit C++ runtime, x86-64, its imports")
        << pe64 << "" << int(binaryImage::pe) << "64-bit x86-64" << true
        << (QStringList{"libgcc_s_seh-1.dll"} + mingwNeeds);
    QTest::newRow("PE32: MinGW's 32-bit C++ runtime, x86, its imports")
        << pe32 << "" << int(binaryImage::pe) << "32-bit x86" << true << (QStringList{"libgcc_s_dw2-1.dll"} + mingwNeeds);
    QTest::newRow("PE Machine patched to 0x14c: 32-bit x86")
        << pe64 << "foreign" << int(binaryImage::pe) << "32-bit x86" << true
        << (QStringList{"libgcc_s_seh-1.dll"} + mingwNeeds);
    QTest::newRow("PE cut after its headers: the machine, no imports")
        << pe64 << "head 1024" << int(binaryImage::pe) << "64-bit x86-64" << false << QStringList();
    QTest::newRow("\"MZ\" alone: neither") << "" << "MZ" << int(binaryImage::none) << "" << false << QStringList();
    QTest::newRow("text: neither") << "" << "text" << int(binaryImage::none) << "" << false << QStringList();
}

void tst_platform::binaryHeaders()
{
    QFETCH(QString, file);
    QFETCH(QString, patch);
    QFETCH(int, kind);
    QFETCH(QString, machine);
    QFETCH(bool, neededRead);
    QFETCH(QStringList, needed);
    QByteArray bytes = patch == "MZ" ? QByteArray("MZ") : QByteArray("#!/bin/sh\n");
    if (!file.isEmpty()) {
        bytes = readBytes(file);
        NC_REQUIRE(!bytes.isEmpty(), file + " (Debian's qtbase5 and MinGW-w64 packages)");
    }
    if (patch == "foreign")
        bytes = asForeignMachine(bytes);
    else if (patch.startsWith("head "))
        bytes = bytes.left(patch.section(' ', 1).toInt());
    const binaryImage image = readBinaryImage(bytes);
    QCOMPARE(int(image.kind), kind);
    if (kind != binaryImage::none)
        QCOMPARE(machineText(image), machine);
    QCOMPARE(image.neededRead, neededRead);
    QCOMPARE(image.needed.mid(0, needed.size()), needed);
    // The same file, as is, serves its own kind of program only.
    if (kind != binaryImage::none && patch.isEmpty()) {
        binaryImage other = image;
        other.bits = image.bits == 64 ? 32 : 64;
        QVERIFY(sameMachine(image, image).ok());
        QCOMPARE(sameMachine(image, other).what(), outcome::unsupported);
    }
}

// The executable's path as GetModuleFileNameW documents its answer: a name
// that does not fit is cut to the buffer's size (its terminator among it)
// and the call returns that size, with ERROR_INSUFFICIENT_BUFFER.
void tst_platform::moduleName_data()
{
    QTest::addColumn<int>("length"); // of the name; -1: the call fails
    QTest::newRow("a name of 259 characters: the first buffer holds it") << 259;
    QTest::newRow("a name of 260 characters, cut to 259 and the call returning nSize: asked again, read whole")
        << 260;
    QTest::newRow("a name of 300 characters below a long installation path: asked again, read whole") << 300;
    QTest::newRow("a name of 5000 characters: the buffer grows until it fits") << 5000;
    QTest::newRow("a name past 32767 characters: no name rather than a cut one") << 40000;
    QTest::newRow("the call fails, returning 0: no name") << -1;
}

void tst_platform::moduleName()
{
#ifndef Q_OS_WIN
    QSKIP("the buffer GetModuleFileNameW fills is Windows'; Linux reads /proc/self/exe");
#else
    QFETCH(int, length);
    QString name = QStringLiteral("C:\\");
    while (name.size() < length)
        name += QString::fromUtf8("\xCE\xA9\xE6\xBC\xA2-folder\\").left(length - name.size());
    int calls = 0;
    const QString got = wholeModuleName([&](wchar_t* buffer, DWORD size) -> DWORD {
        ++calls;
        if (length < 0)
            return 0;
        const DWORD copied = qMin<DWORD>(DWORD(length), size - 1);
        name.left(int(copied)).toWCharArray(buffer);
        buffer[copied] = L'\0';
        if (DWORD(length) < size)
            return DWORD(length);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    });
    if (length < 0 || length > 32767) {
        QVERIFY2(got.isEmpty(), qPrintable(got.left(40)));
        return;
    }
    QCOMPARE(got, name);
    QVERIFY(calls >= (length < 260 ? 1 : 2));
    // And the real call gives this program's own path, as the toolkit has it.
    QCOMPARE(QDir::fromNativeSeparators(modulePath()), QCoreApplication::applicationFilePath());
#endif
}

// Which standard handles a GUI program started from a console leaves alone
// (joinStartingConsole): the real handles, made here.
void tst_platform::standardHandles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("leads");
    QTest::newRow("NULL, as GetStdHandle gives a program that has no standard handles") << "null" << false;
    QTest::newRow("INVALID_HANDLE_VALUE, as GetStdHandle gives on failure") << "invalid" << false;
    QTest::newRow("a value naming nothing in this process, as a console's handles handed down to a GUI program")
        << "stale" << false;
    QTest::newRow("a file, as \"> FILE\" redirects to") << "file" << true;
    QTest::newRow("a pipe, as a script reading the output holds") << "pipe" << true;
    QTest::newRow("the NUL device, as \"> NUL\" redirects to") << "nul" << true;
}

void tst_platform::standardHandles()
{
#ifndef Q_OS_WIN
    QSKIP("the standard handles of a Windows GUI program; here a program's streams are those it gets");
#else
    QFETCH(QString, kind);
    QFETCH(bool, leads);
    HANDLE handle = nullptr, other = nullptr;
    if (kind == "invalid")
        handle = INVALID_HANDLE_VALUE;
    else if (kind == "stale")
        handle = reinterpret_cast<HANDLE>(quintptr(0xfff4)); // far above any handle this process holds
    else if (kind == "file")
        handle = CreateFileW(reinterpret_cast<const wchar_t*>(root.filePath("out.txt").utf16()), GENERIC_WRITE, 0,
                             nullptr, CREATE_ALWAYS, 0, nullptr);
    else if (kind == "pipe")
        QVERIFY(CreatePipe(&other, &handle, nullptr, 0));
    else if (kind == "nul")
        handle = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (leads)
        QVERIFY(handle != nullptr && handle != INVALID_HANDLE_VALUE);
    QCOMPARE(handleLeadsSomewhere(handle), leads);
    if (leads)
        CloseHandle(handle);
    if (other)
        CloseHandle(other);
#endif
}

// SetErrorMode's documented practice, through the call main makes first: "all
// applications call the process-wide SetErrorMode function with a parameter
// of SEM_FAILCRITICALERRORS at startup", the bits already set kept.
void tst_platform::errorMode_data()
{
    QTest::addColumn<bool>("parentBits"); // the process has SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX before
    QTest::newRow("error mode 0, as a process gets by default: SEM_FAILCRITICALERRORS afterwards") << false;
    QTest::newRow("SEM_NOGPFAULTERRORBOX and SEM_NOOPENFILEERRORBOX from the parent: kept, SEM_FAILCRITICALERRORS "
                  "added")
        << true;
}

void tst_platform::errorMode()
{
#ifndef Q_OS_WIN
    QSKIP("the error mode is Windows'");
#else
    QFETCH(bool, parentBits);
    const UINT given = parentBits ? SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX : 0;
    const UINT before = GetErrorMode();
    auto restore = qScopeGuard([before] { SetErrorMode(before); });
    SetErrorMode(given);
    NC_REQUIRE(GetErrorMode() == given, QStringLiteral("an error mode that GetErrorMode gives back as set"));
    failCriticalErrorsQuietly();
    QCOMPARE(GetErrorMode(), given | SEM_FAILCRITICALERRORS);
#endif
}

// Whether anyone can see a window, as the session this process runs in
// decides before its window station does: "All services run in Terminal
// Services session 0", where an interactive service's window is "visible only
// to the user who connected to session 0". Wine runs no program in session 0:
// ProcessIdToSessionId's answer is put in place.
void tst_platform::session_data()
{
    QTest::addColumn<int>("session"); // what ProcessIdToSessionId gives; -1: it fails
    QTest::addColumn<bool>("present");
    QTest::newRow("ProcessIdToSessionId gives session 0 (a service, psexec -s -i 0) on the visible WinSta0: nobody")
        << 0 << false;
    QTest::newRow("ProcessIdToSessionId gives session 1, a logged-on user's, on the visible WinSta0: a person")
        << 1 << true;
    QTest::newRow("ProcessIdToSessionId fails: the visible window station decides, a person") << -1 << true;
}

void tst_platform::session()
{
#ifndef Q_OS_WIN
    QSKIP("the Terminal Services session is Windows'; Linux asks the display");
#else
    QFETCH(int, session);
    QFETCH(bool, present);
    // The rest of the answer is the window station's, which must be visible.
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    NC_REQUIRE(GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed)
                   && (flags.dwFlags & WSF_VISIBLE),
               QStringLiteral("a window station with WSF_VISIBLE, as WinSta0 is"));
    int calls = 0;
    setSessionReader([&](DWORD* id) {
        ++calls;
        if (session < 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        *id = DWORD(session);
        return true;
    });
    auto restore = qScopeGuard([] { setSessionReader(sessionReader()); });
    debugCapture capture;
    QCOMPARE(choosePlatform(true), present);
    QCOMPARE(calls, 1);
    const QString debug = capture.texts().join('\n');
    QCOMPARE(debug.contains("session 0, the services' session"), !present);
    if (!present)
        QVERIFY2(debug.contains("nobody can see a window"), qPrintable(debug));
#endif
}

QTEST_MAIN(tst_platform)
#include "tst_platform.moc"
