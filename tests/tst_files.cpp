#include "fileReplace.h"
#include "installPaths.h"
#include "localSettings.h"
#include "systemText.h"
#include "testSupport.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QVector>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/stat.h>
#ifdef Q_OS_WIN
#include <windows.h>
// (after windows.h)
#include <sddl.h>
// (after windows.h)
#include "windowsCalls.h"
#endif
#include <unistd.h>

// The file layer as the program drives it, through the settings writer:
// links, owners, permissions and access lists kept or refused, the
// documented outcomes of the Windows calls, writers taking turns, and
// what reaches the disk before the swap.

namespace {

const QByteArray storedIni("[xDS]\r\nbindAddress=10.0.0.1\r\n");

// Runs script with bash in folder, as root: O, M and G name the throw-away
// owner, member and group, and "ini FILE" writes storedIni to FILE.
QByteArray shellIn(const QString& folder, const QString& script, bool* ok = nullptr)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const throwawayUsers& users = testUsers();
    env.insert("O", users.owner);
    env.insert("M", users.member);
    env.insert("G", users.group);
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(folder);
    p.start(
        "bash",
        {"-c",
         "set -e; ini() { mkdir -p \"$(dirname \"$1\")\"; printf '[xDS]\\r\\nbindAddress=10.0.0.1\\r\\n' >\"$1\"; }; "
             + script});
    const bool done = p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!done)
        qWarning("%s failed: %s", qPrintable(script), p.readAllStandardError().constData());
    if (ok)
        *ok = done;
    return p.readAllStandardOutput();
}

// Every file below folder: its name, a hash of its content, owner, group,
// permissions and extended attributes (the access control list among them).
QByteArray treeState(const QString& folder)
{
    return shellIn(folder, "find . -type f -print0 | sort -z | while IFS= read -r -d '' f; do "
                           "echo \"$f $(sha1sum <\"$f\" | cut -c1-40) $(stat -c '%U:%G %a' \"$f\")\"; "
                           "getfattr -h -d -m - -e hex \"$f\" 2>/dev/null | grep = | sort || true; done");
}

// state with the content hash of file changed to that of content, and
// without the attribute line dropped (empty: none).
QByteArray withContent(const QByteArray& state, const QByteArray& file, const QByteArray& content,
                       const QByteArray& dropped = QByteArray())
{
    QList<QByteArray> lines = state.split('\n');
    for (QByteArray& line : lines)
        if (line.startsWith("./" + file + ' '))
            line.replace(file.size() + 3, 40, QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex());
    if (!dropped.isEmpty())
        lines.removeAll(dropped);
    return lines.join('\n');
}

// The file at the system path bytes path.
QByteArray rawBytes(const QByteArray& path)
{
    std::ifstream in(path.constData(), std::ios::binary);
    return QByteArray::fromStdString(std::string(std::istreambuf_iterator<char>(in), {}));
}

} // namespace

class tst_files : public QObject
{
    Q_OBJECT

private slots:
    void keepsLinkPermissionsAndOwner_data();
    void keepsLinkPermissionsAndOwner();
    void windowsReplacementKeeps_data();
    void windowsReplacementKeeps();
    void windowsDocumentedOutcomes_data();
    void windowsDocumentedOutcomes();
    void writersTakeTurns_data();
    void writersTakeTurns();
    void flushedBeforeRename_data();
    void flushedBeforeRename();

private:
    QString tempPath(const QString& name);
    QTemporaryDir dir;
};

QString tst_files::tempPath(const QString& name)
{
    return dir.filePath(name);
}

void tst_files::keepsLinkPermissionsAndOwner_data()
{
    QTest::addColumn<QString>("setup");      // shell lines making the tree (see shellIn)
    QTest::addColumn<QByteArray>("root");    // CC_ROOT in the tree, as bytes
    QTest::addColumn<QByteArray>("file");    // the file local_settings.ini leads to
    QTest::addColumn<QString>("user");       // who runs the tool: root, owner or member
    QTest::addColumn<bool>("readable");      // the stored value can be read
    QTest::addColumn<QString>("refusal");    // in the reason, %1 the owner; empty: written
    QTest::addColumn<QByteArray>("dropped"); // an attribute line the write loses, as docs/design.md says; empty: none

    const QString shared =
        "mkdir s; ini s/local_settings.ini; chown -R $O:$G s; chmod 2775 s; chmod 664 s/local_settings.ini; "
        "setfacl -m u:$M:rw s/local_settings.ini; setfattr -n user.origin -v deploy s/local_settings.ini";
    const QString planted =
        "mkdir cc; chown $O cc; ini secret/local_settings.ini; chmod 600 secret/local_settings.ini; chmod 700 secret; ";
    const QString notFollowed = "is owned by %1, but what it points to is owned by root, so it is not followed";
    const QByteArray deep = QByteArray("abcdefghij/").repeated(25);

    QTest::newRow("link to a file beside it")
        << "ini target.ini; ln -s \"$PWD/target.ini\" local_settings.ini; chmod "
           "640 target.ini; chown nobody:nogroup target.ini"
        << QByteArray(".") << QByteArray("target.ini") << "root" << true << "" << QByteArray();
    QTest::newRow("relative link in a release layout")
        << "ini app/shared/local_settings.ini; ini shared/local_settings.ini; mkdir -p app/releases/v2; "
           "ln -s ../../shared/local_settings.ini app/releases/v2/local_settings.ini; ln -s releases/v2 app/current"
        << QByteArray("app/current") << QByteArray("app/shared/local_settings.ini") << "root" << true << ""
        << QByteArray();
    QTest::newRow("ACL and user attribute kept, as root")
        << shared << QByteArray("s") << QByteArray("s/local_settings.ini") << "root" << true << "" << QByteArray();
    QTest::newRow("ACL and user attribute kept, as the owner")
        << shared << QByteArray("s") << QByteArray("s/local_settings.ini") << "owner" << true << "" << QByteArray();
    QTest::newRow("group-shared file of another user, as a group member")
        << shared << QByteArray("s") << QByteArray("s/local_settings.ini") << "member" << true
        << "the file belongs to %1; replacing it would make it yours" << QByteArray();
    QTest::newRow("no ACL from the folder's default ACL")
        << "mkdir s; setfacl -d -m u:$M:rwx s; ini s/local_settings.ini; setfacl -b s/local_settings.ini"
        << QByteArray("s") << QByteArray("s/local_settings.ini") << "root" << true << "" << QByteArray();
    QTest::newRow("link planted by the folder's owner, run by root")
        << planted + "ln -s ../secret/local_settings.ini cc/local_settings.ini; chown -h $O cc/local_settings.ini"
        << QByteArray("cc") << QByteArray("secret/local_settings.ini") << "root" << false << notFollowed
        << QByteArray();
    QTest::newRow("link planted by the folder's owner, run by that owner")
        << planted + "ln -s ../secret/local_settings.ini cc/local_settings.ini; chown -h $O cc/local_settings.ini"
        << QByteArray("cc") << QByteArray("secret/local_settings.ini") << "owner" << false << "Permission denied"
        << QByteArray();
    QTest::newRow("folder link planted by the folder's owner, run by root")
        << planted + "ln -s ../secret cc/conf; chown -h $O cc/conf" << QByteArray("cc/conf")
        << QByteArray("secret/local_settings.ini") << "root" << false << notFollowed << QByteArray();
    QTest::newRow("the owner's own link, run by root")
        << "mkdir cc; ini own/settings.ini; chown -R $O own cc; ln -s ../own/settings.ini cc/local_settings.ini; "
           "chown -h $O cc/local_settings.ini"
        << QByteArray("cc") << QByteArray("own/settings.ini") << "root" << true << "" << QByteArray();
    QTest::newRow("folder named in Latin-1")
        << "ini \"$(printf 'caf\\351')/local_settings.ini\"" << QByteArray("caf\xE9")
        << QByteArray("caf\xE9/local_settings.ini") << "root" << true << "" << QByteArray();
    QTest::newRow("path longer than 259 bytes")
        << "ini " + QString::fromLatin1(deep) + "local_settings.ini" << deep.chopped(1) << deep + "local_settings.ini"
        << "root" << true << "" << QByteArray();
    // A co-user's own file that root reaches through the co-user's link, in a
    // folder only root may write: nothing of the co-user's may appear there.
    const QString rootOnly = "mkdir cc r; chown $O cc; ini r/theirs.ini; chown $O r/theirs.ini; "
                             "ln -s ../r/theirs.ini cc/local_settings.ini; chown -h $O cc/local_settings.ini; ";
    QTest::newRow("a co-user's file through their link, in a folder only root may write")
        << rootOnly << QByteArray("cc") << QByteArray("r/theirs.ini") << "root" << true << "" << QByteArray();
    QTest::newRow("the same, in a folder that takes new files only")
        << rootOnly + "chattr +a r" << QByteArray("cc") << QByteArray("r/theirs.ini") << "root" << true
        << "its folder takes new files only" << QByteArray();
    // trusted.* is root's to see: root keeps it, anyone else cannot.
    const QString trusted = "mkdir s; ini s/local_settings.ini; chown -R $O:$G s; setfattr -n trusted.origin -v deploy "
                            "s/local_settings.ini";
    QTest::newRow("trusted attribute kept, as root")
        << trusted << QByteArray("s") << QByteArray("s/local_settings.ini") << "root" << true << "" << QByteArray();
    QTest::newRow("trusted attribute, as the owner, who cannot see it: lost")
        << trusted << QByteArray("s") << QByteArray("s/local_settings.ini") << "owner" << true << ""
        << QByteArray("trusted.origin=0x6465706c6f79");
}

void tst_files::keepsLinkPermissionsAndOwner()
{
    QFETCH(QString, setup);
    QFETCH(QByteArray, root);
    QFETCH(QByteArray, file);
    QFETCH(QString, user);
    QFETCH(bool, readable);
    QFETCH(QString, refusal);
    QFETCH(QByteArray, dropped);
    NC_LINUX_ONLY("owners, groups, access lists, extended attributes and co-users' links are the Linux file layer's; "
                  "the Windows replacement's rows are in replaceKeepsWhatTheFileIs");
    NC_REQUIRE(isRoot(), "making users and giving files to them needs root");
    const throwawayUsers& users = testUsers();
    NC_REQUIRE(users.ready, "needs useradd and groupadd (package passwd) for throw-away users");
    NC_REQUIRE(!QStandardPaths::findExecutable("setfacl").isEmpty()
                   && !QStandardPaths::findExecutable("setfattr").isEmpty(),
               "needs setfacl and setfattr (packages acl and attr)");
    QTemporaryDir tree;
    ::chmod(QFile::encodeName(tree.path()).constData(), 0755);
    // The toolkit cannot name what is not UTF-8, so it cannot remove it either.
    const auto clear =
        qScopeGuard([&] { shellIn(tree.path(), "chattr -R -a . 2>/dev/null || true; find . -mindepth 1 -delete"); });
    bool ok = false;
    shellIn(tree.path(), setup, &ok);
    QVERIFY(ok);
    const QByteArray before = treeState(tree.path());

    qputenv("CC_ROOT", QFile::encodeName(tree.path()) + '/' + root);
    const QString path = localSettingsPath(environmentText("CC_ROOT"));
    qunsetenv("CC_ROOT");
    const QString who = user == "owner" ? users.owner : user == "member" ? users.member : QString();
    debugCapture capture;
    QString read, reason;
    outcome result;
    {
        std::unique_ptr<asUser> as(who.isEmpty() ? nullptr : new asUser(who));
        QVERIFY(!as || as->active());
        read = readSetting(path, "bindAddress");
        result = writeSettings(path, {{"bindAddress", "10.0.0.2"}});
    }
    reason = result.reason();
    QCOMPARE(read, readable ? QString("10.0.0.1") : QString());
    const QByteArray after = treeState(tree.path());
    if (refusal.isEmpty()) {
        const QByteArray wanted = ini::withValue(storedIni, "xDS", "bindAddress", "10.0.0.2");
        QVERIFY2(result == outcome::done, qPrintable(reason));
        QCOMPARE(rawBytes(QFile::encodeName(tree.path()) + '/' + file), wanted);
        QCOMPARE(after, withContent(before, file, wanted, dropped));
    } else {
        QVERIFY(!result.ok());
        QVERIFY2(reason.contains(refusal.arg(users.owner)), qPrintable(reason));
        QVERIFY2(capture.texts().join('\n').contains(reason), "a refusal must leave a debug line with its reason");
        QCOMPARE(after, before);
    }
}


void tst_files::windowsReplacementKeeps_data()
{
    QTest::addColumn<QString>("kept");
    // A backup tool clears the archive mark once it has the file: the changed file must carry it again.
    QTest::newRow("the hidden attribute, and the archive mark set again after a backup cleared it") << "attributes";
    QTest::newRow("no attribute to keep (FILE_ATTRIBUTE_NORMAL), the archive mark cleared by a backup: set again")
        << "normal";
    QTest::newRow("an explicit grant in the file's own access list") << "security";
    QTest::newRow("an alternate data stream") << "stream";
    QTest::newRow("a path relative to the current folder") << "relative";
}

#ifdef Q_OS_WIN
namespace {

// The file's access list in the system's text form; empty when it cannot be read.
QString accessList(const std::wstring& path)
{
    DWORD size = 0;
    GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    QByteArray sd(int(size), '\0');
    wchar_t* text = nullptr;
    if (!size || !GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd.data(), size, &size)
        || !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                 &text, nullptr))
        return QString();
    const QString s = QString::fromWCharArray(text);
    LocalFree(text);
    return s;
}

bool setAccessList(const std::wstring& path, const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
        return false;
    const bool done = SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
    return done;
}

} // namespace
#endif

void tst_files::windowsReplacementKeeps()
{
    QFETCH(QString, kept);
#ifndef Q_OS_WIN
    QSKIP("a Windows row; on Linux keepsLinkPermissionsAndOwner tells what a replacement keeps");
#else
    if (kept == "security" && underWine())
        QSKIP("Wine keeps no security descriptors: an access list set with SetFileSecurityW reads back as Wine's "
              "default, so this row runs on Windows only");
    if (kept == "stream" && underWine())
        QSKIP("Wine has no alternate data streams: a stream kept.ini:meta becomes a plain file of that name, so this "
              "row runs on Windows only");
    QTemporaryDir folder;
    const QString path = folder.filePath("kept.ini");
    writeBytes(path, "[xDS]\r\nbindAddress=1\r\n");
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    const DWORD attributes = kept == "normal" ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_HIDDEN;
    // Administrators and the system in full, users read and write: none of it inherited.
    const wchar_t* grant = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1201bf;;;BU)";
    QString list;
    if (kept == "attributes" || kept == "normal") {
        QVERIFY(SetFileAttributesW(native.c_str(), attributes));
        // (Wine reports every file as archived; windowsDocumentedOutcomes has the cleared mark at the seam.)
        if (!underWine())
            QCOMPARE(GetFileAttributesW(native.c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
                     attributes & FILE_ATTRIBUTE_HIDDEN);
    }
    if (kept == "security") {
        QVERIFY(setAccessList(native, grant));
        list = accessList(native);
        QVERIFY2(list.startsWith("D:P"), qPrintable(list));
    }
    if (kept == "stream")
        writeBytes(path + ":meta", "deployed by the installer");
    QString given = path;
    const QString here = QDir::currentPath();
    auto back = qScopeGuard([&] { QDir::setCurrent(here); });
    if (kept == "relative") {
        QVERIFY(QDir::setCurrent(QFileInfo(path).path()));
        given = QFileInfo(path).fileName();
    }
    QVERIFY(writeSetting(given, "bindAddress", "10.1.2.3"));
    QCOMPARE(readBytes(path), QByteArray("[xDS]\r\nbindAddress=10.1.2.3\r\n"));
    if (kept == "attributes" || kept == "normal")
        QCOMPARE(GetFileAttributesW(native.c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
                 (attributes & FILE_ATTRIBUTE_HIDDEN) | FILE_ATTRIBUTE_ARCHIVE);
    if (kept == "security")
        QCOMPARE(accessList(native), list);
    if (kept == "stream")
        QCOMPARE(readBytes(path + ":meta"), QByteArray("deployed by the installer"));
    QCOMPARE(QDir(QFileInfo(path).path()).entryList(QDir::Files | QDir::Hidden), QStringList{"kept.ini"});
#endif
}

// What Windows' file calls are documented to leave, and what a program
// holding the file does to a writer: whatever it is, a complete copy stands
// under the file's name afterwards (the row says which), nothing else is
// left beside it, and the outcome says truthfully what was written. What
// Wine shows runs for real (a reader holding the file with FILE_SHARE_READ,
// a holder letting go after three tries, a CC_ROOT of 300 characters); what
// only Windows produces is put in the place of the one call (windowsCalls.h),
// the documentation's words in the row's name. The waits between tries are
// counted, not sat out.
void tst_files::windowsDocumentedOutcomes_data()
{
    QTest::addColumn<QString>("injected"); // what stands in for the call, or what the test does (see seam below)
    QTest::addColumn<QString>("result");   // the outcome's code
    QTest::addColumn<QString>("reason");   // in its reason
    QTest::addColumn<QString>("holds");    // what the name holds afterwards: "old", "new", or "" (nothing)
    QTest::addColumn<int>("replaceCalls"); // ReplaceFileW calls made
    QTest::addColumn<int>("slept");        // ms of waits between tries
    QTest::addColumn<int>("ownerSets");    // SetSecurityInfo calls made

    QTest::newRow("ReplaceFileW 1176 ERROR_UNABLE_TO_MOVE_REPLACEMENT, a backup name given: the replaced and "
                  "replacement files retain their original file names")
        << "1176 names kept" << "failed" << "(error 1176)" << "old" << 1 << 0 << 0;
    QTest::newRow("ReplaceFileW 1176 ERROR_UNABLE_TO_MOVE_REPLACEMENT as without a backup name: the replaced file no "
                  "longer exists and the replacement file exists under its original name")
        << "1176 replaced gone" << "incomplete" << "its new content was written, but not as a replacement" << "new"
        << 1 << 0 << 0;
    QTest::newRow("ReplaceFileW 1177 ERROR_UNABLE_TO_MOVE_REPLACEMENT_2: the replacement file still exists under its "
                  "original name, the file to be replaced under the backup name: put back")
        << "1177" << "failed" << "the old file was put back under its name" << "old" << 1 << 0 << 0;
    QTest::newRow("ReplaceFileW 1177 ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, the replaced file cannot be moved back: the "
                  "replacement is moved in")
        << "1177 no move back" << "incomplete" << "its new content was written" << "new" << 1 << 2000 << 0;
    QTest::newRow("ReplaceFileW 1177 ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, neither file can be moved under the name: "
                  "both kept under names the leftover sweep leaves, nothing removed, and said where")
        << "1177 no moves" << "incomplete" << "it is not there now: the old content is in" << "" << 1 << 4000 << 0;
    QTest::newRow("ReplaceFileW ERROR_ACCESS_DENIED with the replaced file under the backup name (beyond the "
                  "documented states): not tried again, put back")
        << "5 moved aside" << "failed" << "the old file was put back under its name" << "old" << 1 << 0 << 0;
    QTest::newRow("ReplaceFileW ERROR_INVALID_PARAMETER though the replacement took the name (any other error: it is "
                  "not guaranteed that the replacement file will have inherited all of the attributes and streams "
                  "of the replaced file): said written, not wholly")
        << "87 after the swap" << "incomplete" << "access list and alternate data streams may not have been carried over"
        << "new" << 1 << 0 << 0;
    QTest::newRow("GetFileInformationByHandle failing on the new file (its identity unknown, a half-done swap could "
                  "not be told): nothing replaced, said why")
        << "new file unidentified" << "failed" << "the new file cannot be identified" << "old" << 0 << 0 << 0;
    QTest::newRow("ReplaceFileW 1175 ERROR_UNABLE_TO_REMOVE_REPLACED three times (a scanner holding the old file), "
                  "then replaced")
        << "1175 thrice" << "done" << "" << "new" << 4 << 150 << 0;
    QTest::newRow("ReplaceFileW 1175 ERROR_UNABLE_TO_REMOVE_REPLACED for 2 seconds: given up, the replaced and "
                  "replacement files retain their original file names")
        << "1175 always" << "failed" << "(error 1175)" << "old" << 41 << 2000 << 0;
    QTest::newRow("ReplaceFileW ERROR_SHARING_VIOLATION twice (a scanner opening the new file), then replaced")
        << "32 twice" << "done" << "" << "new" << 3 << 100 << 0;
    QTest::newRow("ReplaceFileW ERROR_ACCESS_DENIED twice, then replaced")
        << "5 twice" << "done" << "" << "new" << 3 << 100 << 0;
    QTest::newRow("CreateFileW ERROR_SHARING_VIOLATION twice opening the file to edit (a scanner), then written")
        << "open 32 twice" << "done" << "" << "new" << 1 << 100 << 0;
    QTest::newRow("CreateFileW ERROR_WRITE_PROTECT for writing (write-protected media): read, not written")
        << "open for writing 19" << "refused" << "it is on write-protected media" << "old" << 0 << 0 << 0;
    QTest::newRow("a reader holding the file with FILE_SHARE_READ only, for real: read at once, not written")
        << "held for reading" << "refused" << "another program holds it open and lets nobody else write it" << "old"
        << 0 << 2000 << 0;
    QTest::newRow("a program holding the file with no sharing, for real, letting go after three tries: written")
        << "held exclusively" << "done" << "" << "new" << 1 << 150 << 0;
    QTest::newRow("an owner that is another account's, which this writer may give (SetSecurityInfo "
                  "OWNER_SECURITY_INFORMATION): given to the new file before the swap")
        << "foreign owner" << "done" << "" << "new" << 1 << 0 << 1;
    QTest::newRow("an owner this writer may not give (SetSecurityInfo ERROR_INVALID_OWNER): refused before writing")
        << "foreign owner, not given" << "refused" << "replacing it would make it yours" << "old" << 0 << 0 << 1;
    QTest::newRow("the same owner: nothing to give") << "" << "done" << "" << "new" << 1 << 0 << 0;
    QTest::newRow("the archive mark cleared by a backup (GetFileInformationByHandle without FILE_ATTRIBUTE_ARCHIVE), "
                  "the file hidden: the new file is given FILE_ATTRIBUTE_HIDDEN and FILE_ATTRIBUTE_ARCHIVE, not the "
                  "old mark, and that is no lost attribute")
        << "archive cleared, hidden" << "done" << "" << "new" << 1 << 0 << 0;
    QTest::newRow("the archive mark cleared by a backup, no other attribute (FILE_ATTRIBUTE_NORMAL): the new file is "
                  "given FILE_ATTRIBUTE_ARCHIVE, not FILE_BASIC_INFO's 0 (none of the attributes are changed)")
        << "archive cleared" << "done" << "" << "new" << 1 << 0 << 0;
    QTest::newRow("attributes not kept by the swap: said written, not nothing changed")
        << "attributes lost" << "incomplete" << "its new content was written, but its attributes were not kept"
        << "new" << 1 << 0 << 0;
    QTest::newRow("a CC_ROOT of 300 characters, for real, and MAX_PATH as Windows has it without the long-path prefix: "
                  "read and written")
        << "long CC_ROOT" << "done" << "" << "new" << 1 << 0 << 0;
}

#ifdef Q_OS_WIN
namespace seam {

// What the calls put in the system's place do, and what they saw, for one row.
struct state {
    QString mode;                // the row's injected
    int replaceCalls = 0;
    std::wstring backup;         // the backup name ReplaceFileW was last given
    std::wstring gone;           // where "no longer exists" sends a file
    int openFailures = 0;        // opens of the file still to fail
    DWORD openError = 0;
    DWORD slept = 0;
    int sleeps = 0;
    HANDLE holder = nullptr;     // a real handle on the file
    int releaseAt = 0;           // the wait at which it is closed; 0: never
    QByteArray oldFile;          // the file as it was, by identity
    QString foreignOwner;        // its owner, as the injected GetSecurityInfo tells it
    QHash<QByteArray, QString> givenOwners; // owners given through SetSecurityInfo, by file identity
    DWORD ownerError = 0;        // what SetSecurityInfo answers
    int ownerSets = 0;
    bool ownerSetBeforeSwap = false;
    QSet<HANDLE> created;        // handles of files made new (CREATE_NEW), still open
    int attributeSets = 0;       // SetFileInformationByHandle FileBasicInfo calls
    DWORD givenAttributes = 0;   // the attributes the last of them gave
};

state& now()
{
    static state s;
    return s;
}

bool isFile(LPCWSTR name)
{
    return QString::fromWCharArray(name).endsWith(QLatin1String("\\local_settings.ini"), Qt::CaseInsensitive);
}

QByteArray identityOf(HANDLE h)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return QByteArray();
    return QByteArray::number(uint(info.dwVolumeSerialNumber)) + ':' + QByteArray::number(uint(info.nFileIndexHigh))
           + ':' + QByteArray::number(uint(info.nFileIndexLow));
}

// Windows takes no path of MAX_PATH characters or more without the long-path
// prefix (\\?\ at its start, unless opted in); Wine takes any.
bool beyondMaxPath(LPCWSTR path)
{
    return path && wcsncmp(path, L"\\\\?\\", 4) != 0 && wcslen(path) >= MAX_PATH;
}

HANDLE WINAPI createFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                         DWORD flags, HANDLE from)
{
    state& s = now();
    if (beyondMaxPath(name)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (isFile(name) && s.openFailures > 0 && (access & GENERIC_WRITE)) {
        --s.openFailures;
        SetLastError(s.openError);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE h = CreateFileW(name, access, share, sa, disposition, flags, from);
    if (h != INVALID_HANDLE_VALUE && disposition == CREATE_NEW)
        s.created.insert(h);
    return h;
}

BOOL WINAPI getFileInformationByHandle(HANDLE h, LPBY_HANDLE_FILE_INFORMATION info)
{
    state& s = now();
    if (s.mode == "new file unidentified" && s.created.contains(h)) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    const BOOL done = GetFileInformationByHandle(h, info);
    if (done && s.mode.startsWith("archive cleared") && !s.created.contains(h)) {
        info->dwFileAttributes &= ~DWORD(FILE_ATTRIBUTE_ARCHIVE);
        if (!info->dwFileAttributes)
            info->dwFileAttributes = FILE_ATTRIBUTE_NORMAL; // as the system reports a file with none
    }
    return done;
}

BOOL WINAPI setFileInformationByHandle(HANDLE h, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    state& s = now();
    if (kind == FileBasicInfo) {
        ++s.attributeSets;
        s.givenAttributes = static_cast<const FILE_BASIC_INFO*>(info)->FileAttributes;
    }
    return SetFileInformationByHandle(h, kind, info, size);
}

BOOL WINAPI replaceFile(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags, LPVOID exclude,
                        LPVOID reserved)
{
    state& s = now();
    ++s.replaceCalls;
    s.backup = backup ? backup : L"";
    s.ownerSetBeforeSwap = s.ownerSets > 0;
    if (beyondMaxPath(replaced) || beyondMaxPath(replacement) || beyondMaxPath(backup)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    const std::wstring elsewhere = std::wstring(replaced) + L".elsewhere";
    auto fails = [](DWORD error) {
        SetLastError(error);
        return FALSE;
    };
    const QString& m = s.mode;
    if (m == "1176 names kept") {
        if (backup)
            CopyFileW(replaced, backup, TRUE); // as Wine's own makes its backup, a copy, before it renames
        return fails(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    }
    if (m == "1176 replaced gone") {
        MoveFileExW(replaced, s.gone.c_str(), 0);
        return fails(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    }
    if (m.startsWith("1177") || m == "5 moved aside") {
        MoveFileExW(replaced, backup ? backup : elsewhere.c_str(), 0);
        return fails(m == "5 moved aside" ? ERROR_ACCESS_DENIED : ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
    }
    if (m == "1175 always" || (m == "1175 thrice" && s.replaceCalls <= 3))
        return fails(ERROR_UNABLE_TO_REMOVE_REPLACED);
    if ((m == "32 twice" || m == "5 twice") && s.replaceCalls <= 2)
        return fails(m == "32 twice" ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED);
    const BOOL done = ReplaceFileW(replaced, replacement, backup, flags, exclude, reserved);
    if (done && m == "87 after the swap")
        return fails(ERROR_INVALID_PARAMETER);
    if (done && m == "attributes lost")
        SetFileAttributesW(replaced, FILE_ATTRIBUTE_NORMAL);
    return done;
}

BOOL WINAPI moveFile(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    state& s = now();
    if (beyondMaxPath(from) || beyondMaxPath(to)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if ((s.mode == "1177 no moves" && isFile(to)) || (s.mode == "1177 no move back" && from == s.backup)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return MoveFileExW(from, to, flags);
}

void WINAPI sleep(DWORD ms)
{
    state& s = now();
    s.slept += ms;
    if (++s.sleeps == s.releaseAt && s.holder) {
        CloseHandle(s.holder);
        s.holder = nullptr;
    }
}

DWORD WINAPI getSecurityInfo(HANDLE h, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID* owner, PSID* group,
                             PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* sd)
{
    state& s = now();
    const QByteArray id = identityOf(h);
    const QString told = !s.oldFile.isEmpty() && id == s.oldFile ? s.foreignOwner : s.givenOwners.value(id);
    if (told.isEmpty() || what != OWNER_SECURITY_INFORMATION || !owner)
        return GetSecurityInfo(h, type, what, owner, group, dacl, sacl, sd);
    // As the system gives it: one allocation holding the descriptor, the owner pointing into it.
    PSECURITY_DESCRIPTOR made = nullptr;
    BOOL defaulted = FALSE;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(reinterpret_cast<LPCWSTR>(("O:" + told).utf16()),
                                                              SDDL_REVISION_1, &made, nullptr)
        || !GetSecurityDescriptorOwner(made, owner, &defaulted))
        return GetLastError();
    *sd = made;
    return ERROR_SUCCESS;
}

DWORD WINAPI setSecurityInfo(HANDLE h, SE_OBJECT_TYPE, SECURITY_INFORMATION what, PSID owner, PSID, PACL, PACL)
{
    state& s = now();
    ++s.ownerSets;
    if (s.ownerError)
        return s.ownerError;
    wchar_t* text = nullptr;
    if (what != OWNER_SECURITY_INFORMATION || !ConvertSidToStringSidW(owner, &text))
        return ERROR_INVALID_PARAMETER;
    s.givenOwners.insert(identityOf(h), QString::fromWCharArray(text));
    LocalFree(text);
    return ERROR_SUCCESS;
}

} // namespace seam
#endif

void tst_files::windowsDocumentedOutcomes()
{
    QFETCH(QString, injected);
    QFETCH(QString, result);
    QFETCH(QString, reason);
    QFETCH(QString, holds);
    QFETCH(int, replaceCalls);
    QFETCH(int, slept);
    QFETCH(int, ownerSets);
#ifndef Q_OS_WIN
    Q_UNUSED(injected);
    Q_UNUSED(result);
    Q_UNUSED(reason);
    Q_UNUSED(holds);
    Q_UNUSED(replaceCalls);
    Q_UNUSED(slept);
    Q_UNUSED(ownerSets);
    QSKIP("a Windows row; the Linux file layer's outcomes are the rows of refused and keepsLinkPermissionsAndOwner");
#else
    QTemporaryDir top, away;
    QString folder = top.path();
    if (injected == "long CC_ROOT") {
        while (folder.size() < 300)
            folder += '/' + QString(49, QLatin1Char('d')); // each name within the 255 characters one may have
        QVERIFY(QDir().mkpath(folder));
    }
    // The file as the program finds it.
    qputenv("CC_ROOT", QDir::toNativeSeparators(folder).toUtf8());
    const QString path = localSettingsPath(environmentText("CC_ROOT"));
    qunsetenv("CC_ROOT");
    const QByteArray old("[xDS]\r\nbindAddress=1\r\n"), wanted("[xDS]\r\nbindAddress=10.1.2.3\r\n");
    writeBytes(path, old);
    QCOMPARE(readBytes(path), old);
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    auto identityNow = [&native] {
        const HANDLE h = CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const QByteArray id = h == INVALID_HANDLE_VALUE ? QByteArray() : seam::identityOf(h);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        return id;
    };
    const QByteArray before = identityNow();
    QVERIFY(!before.isEmpty());

    seam::state& s = seam::now();
    s = seam::state();
    s.mode = injected;
    s.gone = QDir::toNativeSeparators(away.filePath("gone.ini")).toStdWString();
    windowsCalls& calls = systemCalls();
    const auto back = qScopeGuard([&] {
        calls = windowsCalls();
        if (s.holder)
            CloseHandle(s.holder);
        s = seam::state();
    });
    calls.createFile = seam::createFile;
    calls.replaceFile = seam::replaceFile;
    calls.moveFile = seam::moveFile;
    calls.sleep = seam::sleep;
    calls.getSecurityInfo = seam::getSecurityInfo;
    calls.setSecurityInfo = seam::setSecurityInfo;
    calls.getFileInformationByHandle = seam::getFileInformationByHandle;
    calls.setFileInformationByHandle = seam::setFileInformationByHandle;
    if (injected == "open 32 twice")
        s.openFailures = 2, s.openError = ERROR_SHARING_VIOLATION;
    if (injected == "open for writing 19")
        s.openFailures = 1000, s.openError = ERROR_WRITE_PROTECT;
    if (injected == "attributes lost" || injected == "archive cleared, hidden")
        QVERIFY(SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_HIDDEN));
    if (injected.startsWith("held")) {
        s.holder = CreateFileW(native.c_str(), GENERIC_READ, injected == "held for reading" ? FILE_SHARE_READ : 0,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        QVERIFY(s.holder != INVALID_HANDLE_VALUE);
        if (injected == "held exclusively")
            s.releaseAt = 3;
    }
    if (injected.startsWith("foreign owner")) {
        s.oldFile = before;
        s.foreignOwner = "S-1-5-21-1004336348-1177238915-682003330-1001";
        if (injected.endsWith("not given"))
            s.ownerError = ERROR_INVALID_OWNER;
    }

    // Reading needs no write access: nothing is waited for, whoever holds the file.
    if (injected != "held exclusively") {
        QCOMPARE(readSetting(path, "bindAddress"), QString("1"));
        QCOMPARE(s.slept, DWORD(0));
    }
    debugCapture capture;
    const outcome written = writeSettings(path, {{"bindAddress", "10.1.2.3"}});
    static const QHash<QString, outcome::code> codes{{"done", outcome::done},
                                                     {"failed", outcome::failed},
                                                     {"refused", outcome::refused},
                                                     {"incomplete", outcome::incomplete}};
    QVERIFY2(written == codes.value(result), qPrintable(QString("%1: %2").arg(written.what()).arg(written.reason())));
    QVERIFY2(written.reason().contains(reason), qPrintable(written.reason()));
    // (Debug lines show text quoted, a backslash doubled.)
    if (!written.ok())
        QVERIFY2(capture.texts().join('\n').contains(QString(written.reason()).replace("\\", "\\\\")),
                 "a failure must leave a debug line");
    QCOMPARE(s.replaceCalls, replaceCalls);
    QCOMPARE(int(s.slept), slept);
    QCOMPARE(s.ownerSets, ownerSets);
    if (injected == "foreign owner")
        QVERIFY(s.ownerSetBeforeSwap);
    if (injected.startsWith("archive cleared")) {
        QCOMPARE(s.attributeSets, 1);
        QCOMPARE(s.givenAttributes, DWORD(FILE_ATTRIBUTE_ARCHIVE)
                                        | (injected.endsWith("hidden") ? DWORD(FILE_ATTRIBUTE_HIDDEN) : DWORD(0)));
        QVERIFY(GetFileAttributesW(native.c_str()) & FILE_ATTRIBUTE_ARCHIVE);
    }

    // The name holds a complete copy, and nothing is left beside it: but
    // where no copy could take the name, both stay, whole.
    QStringList beside = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    if (holds.isEmpty()) {
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(beside.size(), 2);
        QSet<QByteArray> kept{readBytes(QDir(folder).filePath(beside.at(0))),
                              readBytes(QDir(folder).filePath(beside.at(1)))};
        QCOMPARE(kept, (QSet<QByteArray>{old, wanted}));
        QVERIFY2(written.reason().contains(QDir::toNativeSeparators(QDir(folder).filePath(beside.at(0))))
                     && written.reason().contains(QDir::toNativeSeparators(QDir(folder).filePath(beside.at(1)))),
                 qPrintable(written.reason()));
        for (const QString& name : beside)
            QVERIFY2(name.startsWith(".local_settings.ini.nicChooser-saved."), qPrintable(name));
        // The next writer, holding the lock, sweeps leftovers: the saved copies stay.
        calls = windowsCalls();
        s.mode.clear();
        writeBytes(path, old);
        QVERIFY(writeSettings(path, {{"bindAddress", "10.1.2.3"}}).ok());
        QCOMPARE(readBytes(path), wanted);
        QStringList after = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QCOMPARE(after.size(), 3);
        QVERIFY(after.removeAll("local_settings.ini") == 1);
        QCOMPARE(after, beside);
        return;
    }
    QCOMPARE(readBytes(path), holds == "old" ? old : wanted);
    QCOMPARE(beside, QStringList{"local_settings.ini"});
    if (holds == "old")
        QCOMPARE(identityNow(), before); // the old file itself, not a copy
#endif
}

// A second writer waits for the first (and gives up, told why, when it
// takes too long): the edits of two copies can never interleave. Storing a
// choice keeps the settings file locked until the DDS configuration is done
// too, so that two copies cannot leave the files disagreeing.
void tst_files::writersTakeTurns_data()
{
    QTest::addColumn<QString>("held"); // what the test holds first
    QTest::newRow("a second writer of the same file waits") << "settings";
    QTest::newRow("the settings stay locked while the DDS configuration waits") << "dds";
    // The system lets go of a dead writer's lock: nobody is kept waiting by it.
    QTest::newRow("a writer killed while holding the lock lets the next one in") << "killed";
    // A dialog waits without freezing: its hook hears who holds the lock,
    // and ends the wait when the operator cancels.
    QTest::newRow("a wait hook hears who holds the lock and stops the wait") << "hook-stops";
    QTest::newRow("a wait hook that goes on waiting gets the lock once it is free") << "hook-waits";
}

void tst_files::writersTakeTurns()
{
    QFETCH(QString, held);
    const QString ini = tempPath("turns.ini");
    const QString xml = tempPath("turns.xml");
    writeBytes(ini, "[xDS]\r\n");
    writeBytes(xml, testData("ospl/adlink-etc-ospl_ddsi2.xml"));
    auto secondWaits = [&ini] {
        QElapsedTimer waited;
        waited.start();
        fileEdit second(ini, true, 300);
        return !second.ready() && waited.elapsed() >= 300
               && second.result().reason().contains("kept it locked for 0.3 seconds");
    };
    if (held == "settings") {
        fileEdit first(ini);
        QVERIFY2(first.ready(), qPrintable(first.result().reason()));
        QVERIFY(secondWaits());
        return;
    }
    if (held.startsWith("hook")) {
        auto first = std::make_unique<fileEdit>(ini);
        QVERIFY2(first->ready(), qPrintable(first->result().reason()));
        QStringList heard;
        QElapsedTimer waited;
        waited.start();
        // Goes on (or, should the hook not be heeded, lets go) after three calls.
        fileEdit second(ini, true, 300, [&](const QString& holder) {
            heard << holder;
            if (heard.size() == 3 && held == "hook-waits")
                first.reset();
            if (heard.size() == 20)
                first.reset(); // a hook not heeded must not hang the test
            return held == "hook-waits" || heard.size() < 3;
        });
        QVERIFY2(heard.size() >= 3, qPrintable(heard.join('|')));
        QVERIFY(waited.elapsed() >= 100); // about every 50 ms
        QVERIFY2(heard.first().contains("another copy of nicChooser"), qPrintable(heard.first()));
        if (held == "hook-waits") {
            QVERIFY2(second.ready(), qPrintable(second.result().reason()));
            QVERIFY(!first);
        } else {
            QCOMPARE(heard.size(), 3);
            QVERIFY(!second.ready());
            QVERIFY2(second.result().reason().startsWith("stopped waiting for someone who may change it"),
                     qPrintable(second.result().reason()));
        }
        return;
    }
    // A copy storing a choice writes the settings, then waits for the DDS
    // configuration this test holds: meanwhile the settings must stay locked.
    std::unique_ptr<fileEdit> dds(new fileEdit(xml));
    QVERIFY2(dds->ready(), qPrintable(dds->result().reason()));
    QProcess storing;
    storing.start(NC_UPDATE_TOOL, {"choice", ini, xml, "10.1.2.3", "eth7"});
    QVERIFY(storing.waitForStarted());
    // It has written the settings once it says it waits for the DDS
    // configuration (however long Wine takes to start a program).
    QByteArray told;
    QVERIFY2(waitForError(&storing, "Waiting for", &told) && told.contains("turns.xml"), told.constData());
    QVERIFY(readBytes(ini).contains("bindAddress=10.1.2.3"));
    QVERIFY2(secondWaits(), "the settings were unlocked before the DDS configuration was written");
    if (held == "killed") {
        storing.kill();
        QVERIFY(storing.waitForFinished(15000));
        fileEdit next(ini, true, 300);
        QVERIFY2(next.ready(), qPrintable(next.result().reason()));
        return;
    }
    dds.reset();
    QVERIFY(storing.waitForFinished(15000));
    QCOMPARE(storing.exitCode(), 0);
    QVERIFY(readBytes(xml).contains(">10.1.2.3</NetworkInterfaceAddress>"));
}

// The new bytes reach the disk before they take the old file's name, so that
// a power cut leaves the old file or the new one, never an empty one: seen in
// the order of the writer's system calls.
void tst_files::flushedBeforeRename_data()
{
    QTest::addColumn<QStringList>("args"); // for ncupdate, after the file
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("settings file") << QStringList{"bindAddress", "10.1.2.3"}
                                   << QByteArray("[xDS]\r\nbindAddress=1\r\n");
    QTest::newRow("DDS configuration") << QStringList{"10.1.2.3"} << testData("ospl/adlink-etc-ospl_ddsi2.xml");
}

void tst_files::flushedBeforeRename()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, content);
    const QString strace = QStandardPaths::findExecutable("strace");
    NC_LINUX_ONLY("strace watches Linux system calls; ReplaceFileW flushes on its own");
    NC_REQUIRE(!strace.isEmpty(), QStringLiteral("needs strace"));
    const QString path = tempPath(args.size() == 1 ? "flushed.xml" : "flushed.ini");
    writeBytes(path, content);
    QProcess p;
    // LeakSanitizer cannot run under a tracer, and says so by failing.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    p.setProcessEnvironment(env);
    p.start(strace, QStringList{"-f", "-e", "trace=fsync,fdatasync,rename,renameat,renameat2", NC_UPDATE_TOOL,
                                args.size() == 1 ? "ospl" : "ini", path}
                        + args);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(readBytes(path) != content);
    const QString calls = QString::fromLocal8Bit(p.readAllStandardError());
    const int rename = calls.indexOf(
        QRegularExpression("rename(at2?)?\\(.*" + QRegularExpression::escape(QFileInfo(path).fileName())));
    QVERIFY2(rename >= 0, qPrintable(calls));
    const int flush = calls.lastIndexOf(QRegularExpression("f(data)?sync\\("), rename);
    QVERIFY2(flush >= 0, qPrintable("no flush before the rename:\n" + calls));
}


QTEST_GUILESS_MAIN(tst_files)
#include "tst_files.moc"
