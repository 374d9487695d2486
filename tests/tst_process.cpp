// The real executable as a process, inside the namespace built by
// in-netns.sh, offscreen.
#include "runReport.h"
#include "testSupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QLibraryInfo>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <memory>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_WIN
#include <windows.h>
#endif

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

#ifdef Q_OS_WIN
// Rows whose outcome Wine cannot give as Windows would, or that are about
// Linux alone, and why.
QString notUnderWindows(const QByteArray& row)
{
    const QString multicast = QStringLiteral("Wine reports every interface that is up as running and able to multicast "
                                             "(ncnomc among them), so which rows are listed is judged on Linux");
    static const QHash<QByteArray, QString> reasons{
        {"/silent /ospl, valid", multicast},
        {"/list, no display", multicast},
        {"/list with /silent /ospl writes nothing", multicast},
        {"/list, nothing stored", multicast},
        {"/select matching several rows", multicast},
        {"/select matching none", multicast},
        {"/select adaptor whose name is no UTF-8", "Wine names that interface in its own way"},
        {"/list into a full device", "Windows has no /dev/full"},
        {"/select, the settings file a link whose text forges a line", "a co-user's symbolic link is a Linux row"},
        {"/list with a misspelt switch: named, the list as ever", multicast},
        {"an argument holding a line break: named on one line",
         "no DISPLAY is a Linux condition: in the visible window station this /silent run would wait for a person"},
    };
    if (reasons.contains(row))
        return reasons.value(row);
    // No DISPLAY is a Linux condition; Windows' is a window station without
    // WSF_VISIBLE (the window station rows).
    if (row.contains("no display") || row.contains("xcb") || row.startsWith("no switches"))
        return QStringLiteral("no DISPLAY is a Linux condition: the display rows are Linux rows, and the window "
                              "station rows are Windows'");
    return QString();
}

// A window station of this test's own, made as a service's or a remote
// shell's is: only the interactive one, WinSta0, has WSF_VISIBLE. With the
// desktop the tool runs on; empty when either cannot be made.
QString hiddenDesktop()
{
    static const QString made = [] {
        const HWINSTA station = CreateWindowStationW(L"ncHidden", 0, WINSTA_ALL_ACCESS, nullptr);
        USEROBJECTFLAGS flags = {};
        DWORD needed = 0;
        if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)
            || (flags.dwFlags & WSF_VISIBLE))
            return QString();
        const HWINSTA own = GetProcessWindowStation();
        if (!SetProcessWindowStation(station))
            return QString();
        const HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        SetProcessWindowStation(own);
        return desktop ? QStringLiteral("ncHidden\\Default") : QString();
    }();
    return made;
}
#endif

} // namespace

class tst_process : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void unattended_data();
    void unattended();
    void pluginFolder_data();
    void pluginFolder();
    void pluginRaces_data();
    void pluginRaces();

private:
    struct run {
        bool finished;
        int exitCode;
        qint64 ms;
        QString debug;
        QByteArray out;
    };
    run start(const QStringList& args, int waitMs, const QStringList& setup = {});
    int pluginRace(bool rootLink, int runs);
    std::unique_ptr<QTemporaryDir> root;
    QString rootPath;             // CC_ROOT when not root's path
    QStringList extraEnvironment; // NAME=value for the tool
    QString program = NC_EXECUTABLE; // the path the tool is started by
    qint64 startCostMs = 0;       // under Wine, what starting any program takes
    QString iniPath() const { return root->filePath("local_settings.ini"); }
    QString osplPath() const { return root->filePath("SYS/config/dds/ospl.xml"); }
    const QByteArray ospl = testData("ospl/adlink-etc-ospl_ddsi2.xml");
    const QByteArray validIni = withIds(QByteArray("[xDS]\r\nbindAddress=10.77.1.2\r\nAdaptor=nc0\r\n"));
};

void tst_process::initTestCase()
{
    NC_REQUIRE(layout::inside(), QStringLiteral("run through in-netns.sh, which builds the known interfaces"));
    if (underWine()) {
        // What Wine alone takes to start and end a program on the same toolkit DLLs that does nothing (ncupdate,
        // which only says how to use it): the time limits below are the tool's own on top of it.
        QElapsedTimer timer;
        timer.start();
        QProcess bare;
        bare.start(NC_UPDATE_TOOL, QStringList());
        QVERIFY(bare.waitForFinished(30000));
        startCostMs = timer.elapsed();
        qDebug() << "Wine starts a program in" << startCostMs << "ms";
    }
}

void tst_process::init()
{
    root.reset(new QTemporaryDir);
    QDir().mkpath(root->filePath("SYS/config/dds"));
    writeBytes(osplPath(), ospl);
}

// Never a display a person could see: the offscreen platform (minimal with
// "minimal"), or with "nodisplay" no DISPLAY, no WAYLAND_DISPLAY and no
// platform chosen, as in a plain SSH session on a server; with "xcb" that
// platform named, but still no display. "noroot" leaves
// CC_ROOT out; "stdout-full" writes stdout to /dev/full.
tst_process::run tst_process::start(const QStringList& args, int waitMs, const QStringList& setup)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (setup.contains("noroot"))
        env.remove("CC_ROOT");
    else
        env.insert("CC_ROOT", rootPath.isEmpty() ? root->path() : rootPath);
    for (const QString& e : extraEnvironment)
        env.insert(e.section('=', 0, 0), e.section('=', 1));
    env.insert("CC_SYSTEM", "SYS");
#ifdef Q_OS_WIN
    // The toolkit built for Windows looks for fonts beside itself, where it
    // has none, and warns on each start; the system's are at hand.
    const QString fonts = QStringLiteral("Z:/usr/share/fonts/truetype/dejavu");
    if (QDir(fonts).exists())
        env.insert("QT_QPA_FONTDIR", fonts);
#endif
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    if (setup.contains("nodisplay") || setup.contains("hidden-station")) {
        env.remove("QT_QPA_PLATFORM");
    } else if (setup.contains("stale-display")) {
        env.remove("QT_QPA_PLATFORM");
        env.insert("DISPLAY", ":97"); // no X server answers there
    } else if (setup.contains("xcb"))
        env.insert("QT_QPA_PLATFORM", "xcb");
    else
        env.insert("QT_QPA_PLATFORM", setup.contains("minimal") ? "minimal" : "offscreen");
    p.setProcessEnvironment(env);
    if (setup.contains("stdout-full"))
        p.setStandardOutputFile("/dev/full");
    // As an operator quiets it, in a session that has a runtime folder.
    QTemporaryDir runtime;
    if (setup.contains("quiet")) {
        env.insert("QT_LOGGING_RULES", "nicChooser.debug=false");
        ::chmod(QFile::encodeName(runtime.path()).constData(), 0700);
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        p.setProcessEnvironment(env);
    }
    QString started = program;
    QStringList arguments = args;
#ifdef Q_OS_WIN
    // The window station a service runs in: the tool's windows, of whatever
    // platform, would reach nobody there.
    std::wstring desktop = hiddenDesktop().toStdWString();
    if (setup.contains("hidden-station"))
        p.setCreateProcessArgumentsModifier(
            [&desktop](QProcess::CreateProcessArguments* a) { a->startupInfo->lpDesktop = &desktop[0]; });
    // Typed into an operator's console: what it shows comes back as stdout.
    if (setup.contains("console")) {
        arguments = QStringList{QDir::toNativeSeparators(program)} + args;
        if (setup.contains("stdout-file"))
            arguments = QStringList{"--stdout", root->filePath("stdout.txt")} + arguments;
        started = NC_CONSOLE_TOOL;
    }
#endif
    QElapsedTimer timer;
    timer.start();
    p.start(started, arguments);
    if (!p.waitForStarted())
        return {false, -1, 0, "did not start", {}};
    const bool finished = p.waitForFinished(waitMs);
    const qint64 ms = timer.elapsed();
    if (!finished) {
        p.kill();
        p.waitForFinished();
    }
    QByteArray errors = p.readAllStandardError();
#ifdef Q_OS_WIN
    // The C runtime ends each line on stderr as Windows does; a CR anywhere else is still seen.
    errors.replace("\r\n", "\n");
#endif
    return {finished, finished && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, ms,
            QString::fromUtf8(errors), p.readAllStandardOutput()};
}

// Runs that no person answers: /silent, /list and /select, with and without
// a display.
void tst_process::unattended_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>(
        "setup"); // words: nodisplay xcb noroot noini staleini readonly-ini readonly-ospl ospl-elsewhere
    QTest::addColumn<int>("status"); // -1: still open, waiting for a person
    QTest::addColumn<QByteArray>("stdoutText");
    QTest::addColumn<QByteArray>("iniAfter"); // null: as before
    QTest::addColumn<QString>("osplAddress"); // empty: file untouched
    QTest::addColumn<QString>("stderrText");

    const QByteArray same;
    // Switches and statuses, a few lines, no more.
    const QByteArray usage =
        "Usage: nicChooser [/ospl] [/silent] [/select=RULE] [/list] [/check]\n"
        "       nicChooser --help | --version\n"
        "Chooses the network interface and IPv4 address the installation's xDS transport binds to, stored\n"
        "in $CC_ROOT/local_settings.ini (and with /ospl in $CC_ROOT/$CC_SYSTEM/config/dds/ospl.xml).\n"
        "  /ospl          also update the DDS configuration\n"
        "  /silent        unattended: keep a stored choice that still names a row, else no dialog without a display\n"
        "  /select=RULE   choose the row by address, adaptor ID or IPv4 prefix (with /silent: store it)\n"
        "  /list          print the rows on stdout, tab-separated; writes nothing\n"
        "  /check         whether the stored choice is here (with /ospl: and the DDS configuration binds it);\n"
        "                 one line per disagreement; writes nothing\n"
        "Exit status: 0 done (or cancelled), 2 CC_ROOT or CC_SYSTEM missing, 3 settings not written,\n"
        "4 DDS configuration not updated, 5 no display, 6 /select matches no row, 7 several rows,\n"
        "8 /select malformed, 9 /list could not write, 10 /check disagrees. More in nicChooser(1).\n";
    const QByteArray nc1("[xDS]\r\nbindAddress=10.77.4.1\r\nAdaptor=nc1\r\n");
    const QByteArray rows = "nc0\t10.77.1.1\tnc0\t\nnc0\t10.77.1.2\tnc0\tstored\nnc1\t10.77.4.1\tnc1\t\n"
                            "n\xC3\xA9\t10.77.5.1\tn\xC3\xA9\t\n"
                            "x\xFFy\t10.77.6.1\tx\xFFy\t\n";
    QTest::newRow("/silent, stored pair valid")
        << QStringList{"/silent"} << "" << 0 << QByteArray() << same << ""
        << "nicChooser::isValid: checking validity:  \"10.77.1.2\"   \"nc0\"\nnicChooser::isValid: valid";
    // Quiet: the debug lines silenced, what remains is exactly what the run
    // tells its caller (nothing when it changed nothing); "=" marks a whole stderr.
    QTest::newRow("/silent, valid, debug lines silenced: nothing said")
        << QStringList{"/silent"} << "quiet" << 0 << QByteArray() << same << ""
        << "=";
    // The summary line as ever, then what the DDS configuration now binds:
    // an operator's line, not a debug line, so the logging rule keeps it.
    const QString binds = QStringLiteral(
        "nicChooser: DDS configuration %1/SYS/config/dds/ospl.xml: DDSI2Service 'ddsi2' binds %2 "
        "(General/NetworkInterfaceAddress AUTO -> %2); running DDS services read their configuration only when they "
        "start\n");
    QTest::newRow("/silent /ospl, valid, debug lines silenced: the changed file named, then what binds the address")
        << QStringList{"/silent", "/ospl"} << "quiet nodisplay" << 0 << QByteArray() << same << "10.77.1.2"
        << "=nicChooser: stored 10.77.1.2 on nc0: wrote the DDS configuration %1/SYS/config/dds/ospl.xml\n"
               + binds.arg("%1", "10.77.1.2");
    QTest::newRow("/select with no settings file, silenced: one line tells the file created")
        << QStringList{"/silent", "/select=nc1", "/ospl"} << "noini quiet nodisplay" << 0 << QByteArray() << nc1
        << "10.77.4.1"
        << "=nicChooser: stored 10.77.4.1 on nc1: created the settings file %1/local_settings.ini and wrote the DDS "
           "configuration %1/SYS/config/dds/ospl.xml\n"
               + binds.arg("%1", "10.77.4.1");
    // Processes started with OSPL_URI read the file it names.
    QTest::newRow("/silent /ospl, OSPL_URI names another file: the line says so")
        << QStringList{"/silent", "/ospl"} << "quiet nodisplay uri-elsewhere" << 0 << QByteArray() << same << "10.77.1.2"
        << "=nicChooser: stored 10.77.1.2 on nc0: wrote the DDS configuration %1/SYS/config/dds/ospl.xml\n"
               + QString(binds.arg("%1", "10.77.1.2"))
                     .replace("; running", "; OSPL_URI names another configuration, file:///etc/opt/ospl-site.xml, "
                                           "which was not changed; running");
    QTest::newRow("/silent /ospl, OSPL_URI names the installation's file: nothing more said")
        << QStringList{"/silent", "/ospl"} << "quiet nodisplay uri-same" << 0 << QByteArray() << same << "10.77.1.2"
        << "=nicChooser: stored 10.77.1.2 on nc0: wrote the DDS configuration %1/SYS/config/dds/ospl.xml\n"
               + binds.arg("%1", "10.77.1.2");
    QTest::newRow("/silent /ospl, DDSI2 set to IPv6: refused, status 4, the file as it was")
        << QStringList{"/silent", "/ospl"} << "ospl-ipv6 quiet nodisplay" << 4 << QByteArray() << same << ""
        << "=nicChooser: could not update the DDS configuration %1/SYS/config/dds/ospl.xml: its DDSI2Service 'ddsi2' is "
           "set to IPv6 (General/UseIPv6 is true), and DDSI2 would not start with the IPv4 address 10.77.1.2\n";
    // /check: no window, nothing written, one line per disagreement.
    QTest::newRow("/check, stored pair valid: status 0, nothing said")
        << QStringList{"/check"} << "quiet nodisplay" << 0 << QByteArray() << same << ""
        << "=";
    QTest::newRow("/check /ospl, both files agree: status 0, nothing said")
        << QStringList{"/check", "/ospl"} << "ospl-current quiet" << 0 << QByteArray() << same << ""
        << "=";
    QTest::newRow("/check /ospl, the DDS configuration holds another value: status 10")
        << QStringList{"/check", "/ospl"} << "quiet nodisplay" << 10 << QByteArray() << same << ""
        << "=nicChooser: the DDS configuration %1/SYS/config/dds/ospl.xml holds AUTO, not 10.77.1.2, in the "
           "General/NetworkInterfaceAddress of DDSI2Service 'ddsi2'\n";
    QTest::newRow("/check /ospl, stored address moved, native networking run: one line each")
        << QStringList{"/checkx", "/ospl"} << "staleini ospl-native quiet nodisplay" << 10 << QByteArray() << same << ""
        << "=nicChooser: the stored choice, 10.77.4.1 on nc0, is not on this machine: 10.77.4.1 is here, but on nc1\n"
           "nicChooser: the DDS configuration %1/SYS/config/dds/ospl.xml holds AUTO, not 10.77.4.1, in the "
           "General/NetworkInterfaceAddress of DDSI2Service 'ddsi2'\n"
           "nicChooser: the DDS configuration %1/SYS/config/dds/ospl.xml: NetworkService 'networking' chooses its own "
           "interface\n";
    QTest::newRow("/check /ospl, nothing stored: status 10")
        << QStringList{"/ospl", "/check"} << "noini quiet nodisplay" << 10 << QByteArray() << same << ""
        << "=nicChooser: nothing is stored yet in the settings file %1/local_settings.ini\n";
    QTest::newRow("/check /ospl, DDS configuration not well-formed: status 10")
        << QStringList{"/check", "/ospl"} << "truncated-ospl quiet nodisplay" << 10 << QByteArray() << same << ""
        << "=nicChooser: the DDS configuration %1/SYS/config/dds/ospl.xml cannot be read: it is not well-formed XML "
           "(line 6, column 14: Premature end of document)\n";
    QTest::newRow("/select of the stored row, silenced: nothing said")
        << QStringList{"/silent", "/select=10.77.1.2"} << "quiet" << 0 << QByteArray() << same << ""
        << "=";
    QTest::newRow("/silent /ospl, valid")
        << QStringList{"/silent", "/ospl"} << "" << 0 << QByteArray() << same << "10.77.1.2"
        << "\"ncnomc\" : interface can't multicast!";
    // Its path is the program's own, however its folder is named.
    QTest::newRow("/silent /ospl, valid, the program below a folder named /check")
        << QStringList{"/silent", "/ospl"} << "switch-named-folder" << 0 << QByteArray() << same << "10.77.1.2" << "";
    QTest::newRow("/ospl /silentx, valid, no display")
        << QStringList{"/ospl", "/silentx"} << "nodisplay" << 0 << QByteArray() << same << "10.77.1.2"
        << "";
    // Offscreen and minimal windows reach nobody: no waiting on them.
    QTest::newRow("/silent /ospl, stored address moved, offscreen platform")
        << QStringList{"/silent", "/ospl"} << "staleini" << 5 << QByteArray() << same << ""
        << "NOT valid\nnicChooser: the stored choice names no row here (10.77.4.1 is here, but on nc1) and no /select";
    QTest::newRow("/silent /ospl, nothing stored, minimal platform")
        << QStringList{"/silent", "/ospl"} << "noini minimal" << 5 << QByteArray() << same << ""
        << "NOT valid\nnicChooser: nothing is stored yet and no /select was given";
    QTest::newRow("/silent /ospl, stored address moved, xcb named but no display")
        << QStringList{"/silent", "/ospl"} << "staleini xcb" << 5 << QByteArray() << same << ""
        << "NOT valid\nnicChooser: the stored choice names no row here";
    QTest::newRow("/silent, settings file unreadable, no display")
        << QStringList{"/silent"} << "unreadable-ini nodisplay" << 5 << QByteArray() << same << ""
        << "nicChooser: the settings file cannot be read (it is UTF-16 with an odd number of bytes";
    QTest::newRow("no switches, offscreen platform") << QStringList{} << "" << 5 << QByteArray() << same << ""
                                                     << "nicChooser: there is no display";
    QTest::newRow("no switches, no display, CC_ROOT missing")
        << QStringList{} << "nodisplay noroot" << 2 << QByteArray() << same << ""
        << "nicChooser: Can't set the adaptor";
    QTest::newRow("/list into a full device")
        << QStringList{"/list"} << "nodisplay stdout-full" << 9 << QByteArray() << same << ""
        << "nicChooser: could not write the list: No space left";
    QTest::newRow("/silent, nothing stored, no display")
        << QStringList{"/silent"} << "noini nodisplay" << 5 << QByteArray() << same << ""
        << "nicChooser: nothing is stored yet";
    // A misspelt switch is named, not taken for a missing one.
    QTest::newRow("/silent /selct=..., nothing stored, no display: the misspelt switch named")
        << QStringList{"/silent", "/selct=10.77.4.1"} << "noini nodisplay quiet" << 5 << QByteArray() << same << ""
        << "=nicChooser: not a switch, so ignored: /selct=10.77.4.1 (the switches are /ospl, /silent, /list, /check "
           "and /select=RULE)\nnicChooser: nothing is stored yet and no /select was given, and there is no display to ask "
           "on; nothing was written\n";
    // An argument is the caller's text: named on one line, whatever it holds.
    QTest::newRow("an argument holding a line break: named on one line")
        << QStringList{"/silent", "/x\nnicChooser: stored 10.99.1.1 on v0"} << "noini nodisplay quiet" << 5
        << QByteArray() << same << ""
        << "=nicChooser: not a switch, so ignored: /x\\nnicChooser: stored 10.99.1.1 on v0 (the switches are /ospl, "
           "/silent, /list, /check and /select=RULE)\nnicChooser: nothing is stored yet and no /select was given, and there "
           "is no display to ask on; nothing was written\n";
    QTest::newRow("/Silent -h /?, offscreen: every one named, one line")
        << QStringList{"/Silent", "-h", "/?"} << "quiet" << 5 << QByteArray() << same << ""
        << "=nicChooser: not a switch, so ignored: /Silent -h /? (the switches are /ospl, /silent, /list, /check "
           "and /select=RULE)\nnicChooser: there is no display to show the dialog on; /silent, /select and /list work "
           "without one\n";
    QTest::newRow("/list with a misspelt switch: named, the list as ever")
        << QStringList{"/list", "/ospll"} << "nodisplay quiet" << 0 << rows << same << ""
        << "=";
    QTest::newRow("no switches, no display") << QStringList{} << "nodisplay" << 5 << QByteArray() << same << ""
                                             << "nicChooser: there is no display";
    QTest::newRow("/silent /ospl, read-only DDS configuration")
        << QStringList{"/silent", "/ospl"} << "readonly-ospl nodisplay" << 4 << QByteArray() << same << ""
        << "nicChooser: could not update the DDS configuration "
               + QString("%1/SYS/config/dds/ospl.xml: the file is read-only");
    QTest::newRow("/silent /ospl, DDS configuration without the element")
        << QStringList{"/silent", "/ospl"} << "ospl-elsewhere nodisplay quiet" << 0 << QByteArray() << same << ""
        << "=nicChooser: DDS configuration %1/SYS/config/dds/ospl.xml: nothing took 10.77.1.2: there is no "
           "DDSI2Service, nor any other networking service; running DDS services read their configuration only when "
           "they start\n";
    QTest::newRow("/silent, CC_ROOT missing, no display")
        << QStringList{"/silent"} << "noroot nodisplay" << 2 << QByteArray() << same << ""
        << "nicChooser: Can't set the adaptor - there's nowhere to write the value to because CC_ROOT environment "
           "variable is not set";
    // Answered before anything else: no display, no variables, no file read
    // (the settings file here could not be read).
    QTest::newRow("--version, no display, CC_ROOT missing") << QStringList{"--version"} << "nodisplay noroot" << 0
                                                            << QByteArray("nicChooser " NC_VERSION "\n") << same << ""
                                                            << "";
    QTest::newRow("--help, no display, settings file unreadable")
        << QStringList{"--help"} << "nodisplay unreadable-ini" << 0 << usage << same << ""
        << "";
    QTest::newRow("--help after switches")
        << QStringList{"/silent", "/ospl", "--help"} << "nodisplay" << 0 << usage << same << ""
        << "";
    QTest::newRow("--help into a full device")
        << QStringList{"--help"} << "nodisplay stdout-full" << 9 << QByteArray() << same << ""
        << "nicChooser: could not write the usage: No space left";
    // Typed at cmd or PowerShell: the console shows what a pipe would get
    // ("console": stdoutText is what the console shows; with "stdout-file",
    // what the file stdout was redirected to holds, and the console nothing).
    QTest::newRow("--version typed at a console that gives a GUI program no handles: on the console, status 0")
        << QStringList{"--version"} << "console" << 0 << QByteArray("nicChooser " NC_VERSION "\n") << same << ""
        << "";
    QTest::newRow("--help typed at a console that gives a GUI program no handles: the usage on the console")
        << QStringList{"--help"} << "console" << 0 << usage << same << ""
        << "";
    QTest::newRow("/silent, nothing stored, typed at a console: the line on the console, status 5")
        << QStringList{"/silent"} << "console noini quiet" << 5
        << QByteArray("nicChooser: nothing is stored yet and no /select was given, and there is no display to ask on; "
                      "nothing was written\n")
        << same << ""
        << "";
    QTest::newRow("--version typed at a console, stdout redirected to a file: in the file, nothing on the console")
        << QStringList{"--version"} << "console stdout-file" << 0 << QByteArray("nicChooser " NC_VERSION "\n") << same
        << ""
        << "";
    // A service (session 0), a scheduled task, an SSH or remote shell: a
    // window station without WSF_VISIBLE, whatever platform starts there.
    QTest::newRow("window station without WSF_VISIBLE, as a service's in session 0: status 5, nothing written")
        << QStringList{} << "hidden-station" << 5 << QByteArray() << same << ""
        << "nicChooser: there is no display to show the dialog on";
    QTest::newRow("window station without WSF_VISIBLE, /silent with a stale choice: status 5, nothing written")
        << QStringList{"/silent", "/ospl"} << "staleini hidden-station" << 5 << QByteArray() << same << ""
        << "nicChooser: the stored choice names no row here (10.77.4.1 is here, but on nc1) and no /select was given, "
           "and there is no display to ask on; nothing was written";
    QTest::newRow("window station without WSF_VISIBLE, /silent /select: stored as ever")
        << QStringList{"/silent", "/select=10.77.4.1", "/ospl"} << "hidden-station" << 0 << QByteArray() << nc1
        << "10.77.4.1"
        << "";
    QTest::newRow("/list, no display") << QStringList{"/list"} << "nodisplay" << 0 << rows << same << ""
                                       << "";
    QTest::newRow("/list with /silent /ospl writes nothing")
        << QStringList{"/silent", "/list", "/ospl"} << "nodisplay" << 0 << rows << same << ""
        << "";
    QTest::newRow("/list, nothing stored")
        << QStringList{"/listx"} << "noini nodisplay" << 0 << QByteArray(rows).replace("stored", "") << same << ""
        << "";
    QTest::newRow("/select prefix, one row") << QStringList{"/silent", "/select=10.77.4.0/24", "/ospl"} << "nodisplay"
                                             << 0 << QByteArray() << nc1 << "10.77.4.1"
                                             << "";
    QTest::newRow("/select adaptor ID, one row")
        << QStringList{"/silent", "/select=nc1"} << "nodisplay" << 0 << QByteArray() << nc1 << ""
        << "";
    // Stored as the system spells it, and so still the stored pair afterwards.
    QTest::newRow("/select adaptor whose name is no UTF-8")
        << QStringList{"/silent", "/select=10.77.6.1"} << "nodisplay" << 0 << QByteArray()
        << QByteArray("[xDS]\r\nbindAddress=10.77.6.1\r\nAdaptor=x\xFFy\r\n") << ""
        << "";
    // Letters beyond ASCII in the installation's path, as the system holds it.
    QTest::newRow("/select address, CC_ROOT with letters beyond ASCII")
        << QStringList{"/silent", "/select=10.77.4.1", "/ospl"} << "non-ascii-root" << 0 << QByteArray() << nc1
        << "10.77.4.1"
        << "";
    // The installation's root as Windows users write it (C:\site); the other rows give it as C:/site there.
    QTest::newRow("/select address, CC_ROOT written with backslashes")
        << QStringList{"/silent", "/select=10.77.4.1", "/ospl"} << "backslash-root" << 0 << QByteArray() << nc1
        << "10.77.4.1"
        << "";
    // A share that no server answers for: refused at once with the reason, nothing written.
    QTest::newRow("/select address, CC_ROOT a UNC share nobody serves")
        << QStringList{"/silent", "/select=10.77.4.1", "/ospl"} << "unc-root" << 3 << QByteArray() << same << ""
        << "nicChooser: could not store 10.77.4.1 on nc1 in the settings file "
           "\\\\nc-test-server\\share\\site\\local_settings.ini: the folder //nc-test-server/share/site does not "
           "exist. Nothing was changed.";
    QTest::newRow("/select address, the program and its toolkit in a folder named in letters the ANSI code page lacks")
        << QStringList{"/silent", "/select=10.77.4.1", "/ospl"} << "non-ansi-program-folder" << 0 << QByteArray() << nc1
        << "10.77.4.1"
        << "";
    QTest::newRow("/select address, with a display")
        << QStringList{"/silent", "/select=10.77.4.1"} << "" << 0 << QByteArray() << nc1 << ""
        << "";
    // Already stored: the settings file is not rewritten, so read-only is no obstacle.
    QTest::newRow("/select of the stored row, read-only settings")
        << QStringList{"/silent", "/select=10.77.1.2", "/ospl"} << "readonly-ini nodisplay" << 0 << QByteArray() << same
        << "10.77.1.2"
        << "";
    // Held by another program that lets others read only, as a reader commonly opens a file: still read (Windows).
    QTest::newRow("/select of the stored row, settings held open with FILE_SHARE_READ only")
        << QStringList{"/silent", "/select=10.77.1.2", "/ospl"} << "held-ini nodisplay" << 0 << QByteArray() << same
        << "10.77.1.2"
        << "";
    QTest::newRow("/select matching several rows")
        << QStringList{"/silent", "/select=10.77.1.0/24", "/ospl"} << "nodisplay" << 7 << QByteArray() << same << ""
        << "nicChooser: /select=10.77.1.0/24 matches 2 rows; nothing was written\n"
           "nicChooser:   nc0\t10.77.1.1\tnc0\nnicChooser:   nc0\t10.77.1.2\tnc0\n";
    QTest::newRow("/select matching none")
        << QStringList{"/silent", "/select=10.99.0.0/16"} << "" << 6 << QByteArray() << same << ""
        << "nicChooser: /select=10.99.0.0/16 matches none of these rows";
    // A co-user's link whose text holds a line break and a line of its own.
    QTest::newRow("/select, the settings file a link whose text forges a line")
        << QStringList{"/silent", "/select=10.77.4.1"} << "forged-link nodisplay" << 3 << QByteArray() << same << ""
        << "nicChooser: could not store 10.77.4.1 on nc1 in the settings file %1/local_settings.ini: the link "
           "%1/local_settings.ini is owned by nobody and points to missing\\nnicChooser: stored 10.99.1.1 on v0. "
           "All good., which does not exist, so it is not followed. Nothing was changed.";
    // Status 8 is about the rule's text: no rows follow its line.
    QTest::newRow("/select malformed") << QStringList{"/silent", "/select=10.77.1.300", "/ospl"} << "nodisplay quiet"
                                       << 8 << QByteArray() << same << ""
                                       << "=nicChooser: /select=10.77.1.300 is not usable: an address is written as "
                                          "four numbers from 0 to 255, such as 10.20.0.7; nothing was written\n";
    QTest::newRow("/select, DDS configuration not well-formed: stored, status 4, where it breaks")
        << QStringList{"/silent", "/select=nc1", "/ospl"} << "truncated-ospl nodisplay quiet" << 4 << QByteArray()
        << nc1 << ""
        << "=nicChooser: stored 10.77.4.1 on nc1 in the settings file %1/local_settings.ini, but could not update the "
           "DDS configuration %1/SYS/config/dds/ospl.xml: it is not well-formed XML (line 6, column 14: Premature end "
           "of "
           "document).\n";
}

void tst_process::unattended()
{
    QFETCH(QStringList, args);
    QFETCH(QString, setup);
    QFETCH(int, status);
    QFETCH(QByteArray, stdoutText);
    QFETCH(QByteArray, iniAfter);
    QFETCH(QString, osplAddress);
    QFETCH(QString, stderrText);
#ifdef Q_OS_WIN
    if (!notUnderWindows(QTest::currentDataTag()).isEmpty())
        QSKIP(qPrintable(notUnderWindows(QTest::currentDataTag())));
    for (QString& a : args)
        a = withIds(a);
    stdoutText = withIds(stdoutText);
    iniAfter = withIds(iniAfter);
    stderrText = withIds(stderrText);
    // The installation's paths are shown as the system writes them.
    for (const char* file : {"/SYS/config/dds/ospl.xml", "/local_settings.ini"})
        stderrText.replace("%1" + QString::fromLatin1(file), QDir::toNativeSeparators(root->path() + file));
    // The C runtime ends each line on stdout as Windows does.
    stdoutText.replace("\r\n", "\n").replace("\n", "\r\n");
#endif
    const QStringList words = setup.split(' ', Qt::SkipEmptyParts);
#ifndef Q_OS_WIN
    if (words.contains("console"))
        QSKIP("the console a Windows GUI program is started from; here a program's streams are those it gets");
    if (words.contains("hidden-station"))
        QSKIP("a Windows window station; on Linux no display is the 'nodisplay' rows");
#else
    if (words.contains("hidden-station"))
        NC_REQUIRE(!hiddenDesktop().isEmpty(), QStringLiteral("a window station without WSF_VISIBLE to start in"));
#endif
    if (words.contains("backslash-root")) {
#ifndef Q_OS_WIN
        QSKIP("a Windows path: on Linux a backslash is part of a name");
#endif
        rootPath = QDir::toNativeSeparators(root->path());
    }
    if (words.contains("unc-root")) {
#ifndef Q_OS_WIN
        QSKIP("a Windows path: on Linux a backslash is part of a name");
#endif
        rootPath = QStringLiteral("\\\\nc-test-server\\share\\site");
    }
    if (words.contains("non-ascii-root")) {
        root.reset(new QTemporaryDir(QDir::tempPath() + QString::fromUtf8("/nicChooser-sit\xC3\xA9-\xCE\xB1-XXXXXX")));
        QVERIFY(QDir().mkpath(root->filePath("SYS/config/dds")));
        writeBytes(osplPath(), ospl);
    }
    auto resetRoot = qScopeGuard([this] { rootPath.clear(); });
    std::unique_ptr<QTemporaryDir> installed;
    auto resetProgram = qScopeGuard([this] { program = NC_EXECUTABLE; });
    if (words.contains("switch-named-folder")) {
#ifdef Q_OS_WIN
        QSKIP("a Windows program's path begins with its drive, never with a switch's slash");
#endif
        installed.reset(new QTemporaryDir("/check-nicChooser-XXXXXX"));
        NC_REQUIRE(installed->isValid(), "a folder in / to start the program from (run as root)");
        program = installed->filePath("nicChooser");
        QVERIFY(QFile::link(NC_EXECUTABLE, program));
    }
    if (words.contains("non-ansi-program-folder")) {
        // Greek and CJK letters: no ANSI code page holds both (Wine's follows
        // its locale, 1252 for C and en_US).
        installed.reset(new QTemporaryDir(
            QDir::tempPath()
            + QString::fromUtf8("/nicChooser-\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1-\xE6\xBC\xA2\xE5\xAD\x97-XXXXXX")));
        QVERIFY(installed->isValid());
        program = installed->filePath(QFileInfo(NC_EXECUTABLE).fileName());
        QVERIFY(QFile::copy(NC_EXECUTABLE, program));
#ifdef Q_OS_WIN
        // Its toolkit beside it, as the zip lays it out: the toolkit's own
        // folder is then none of the places searched, and the platform
        // plug-in is found beside the program or nowhere.
        const QString bin = QLibraryInfo::location(QLibraryInfo::BinariesPath);
        for (const char* dll : {"Qt5Core.dll", "Qt5Gui.dll", "Qt5Widgets.dll", "Qt5Network.dll", "Qt5Xml.dll"})
            QVERIFY2(QFile::copy(bin + "/" + dll, installed->filePath(dll)), dll);
        QVERIFY(QDir().mkpath(installed->filePath("platforms")));
        QVERIFY(QFile::copy(QLibraryInfo::location(QLibraryInfo::PluginsPath) + "/platforms/qoffscreen.dll",
                            installed->filePath("platforms/qoffscreen.dll")));
#endif
    }
    if (words.contains("forged-link")) {
        const QByteArray link = QFile::encodeName(iniPath());
        QCOMPARE(::symlink("missing\nnicChooser: stored 10.99.1.1 on v0. All good.", link.constData()), 0);
        QCOMPARE(::lchown(link.constData(), 65534, 65534), 0);
    } else if (words.contains("unreadable-ini"))
        writeBytes(iniPath(), QByteArray("\xFF\xFE[\0x\0]", 7));
    else if (words.contains("staleini"))
        writeBytes(iniPath(), withIds(QByteArray("[xDS]\nbindAddress=10.77.4.1\nAdaptor=nc0\n")));
    else if (!words.contains("noini"))
        writeBytes(iniPath(), validIni);
    if (words.contains("readonly-ini"))
        QVERIFY(QFile::setPermissions(iniPath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    if (words.contains("readonly-ospl"))
        QVERIFY(QFile::setPermissions(osplPath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    QByteArray osplBefore = ospl;
    const QHash<QString, QString> osplFiles{{"ospl-elsewhere", "ospl/adlink-etc-ospl_no_network.xml"},
                                            {"truncated-ospl", "xml/truncated.xml"},
                                            {"ospl-current", "ospl/adlink-etc-ospl_ddsi2.xml.expected"},
                                            {"ospl-native", "ospl/adlink-etc-ospl_ddsi2_with_native.xml"},
                                            {"ospl-ipv6", "services/ddsi2-set-to-ipv6.xml"}};
    for (const QString& word : words) {
        if (osplFiles.contains(word)) {
            osplBefore = testData(osplFiles.value(word));
            writeBytes(osplPath(), osplBefore);
        }
    }
    if (words.contains("uri-elsewhere"))
        extraEnvironment = QStringList{"OSPL_URI=file:///etc/opt/ospl-site.xml"};
    if (words.contains("uri-same"))
        extraEnvironment = QStringList{"OSPL_URI=file://" + osplPath()};
    auto resetEnvironment = qScopeGuard([this] { extraEnvironment.clear(); });
    const QByteArray iniBefore = readBytes(iniPath());
    // /check writes nothing: with the files' times set long back, any write would show.
    const bool check = std::any_of(args.begin(), args.end(), [](const QString& a) { return a.startsWith("/check"); });
    const QDateTime aged(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    const QStringList folders{root->path(), root->filePath("SYS/config/dds")};
    QStringList filesBefore;
    if (check) {
        for (const QString& path : {iniPath(), osplPath()}) {
            QFile f(path);
            if (f.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
                QVERIFY(f.setFileTime(aged, QFileDevice::FileModificationTime));
        }
        for (const QString& folder : folders)
            filesBefore << filesIn(folder);
    }

    std::shared_ptr<void> holder;
    if (words.contains("held-ini")) {
#ifndef Q_OS_WIN
        QSKIP("a Windows row: sharing modes are Windows'");
#else
        const HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(iniPath()).utf16()),
                                     GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                     nullptr);
        QVERIFY(h != INVALID_HANDLE_VALUE);
        holder.reset(h, CloseHandle);
#endif
    }
    const run r = start(args, status < 0 ? 1500 : 10000, words);
    holder.reset();
    if (status < 0) {
        QVERIFY2(!r.finished, qPrintable(r.debug));
    } else {
        QVERIFY2(r.finished, qPrintable(r.debug));
        QVERIFY2(r.exitCode == status,
                 qPrintable(QStringLiteral("exit %1: %2").arg(r.exitCode).arg(r.debug.right(600))));
        // A file held against writers is tried again for about 2 seconds before it counts as held.
        const int heldMs = words.contains("held-ini") ? 2000 : 0;
        QVERIFY2(r.ms < 3000 + heldMs + startCostMs, qPrintable(QString("took %1 ms").arg(r.ms)));
    }
    if (words.contains("stdout-file")) {
        QCOMPARE(readBytes(root->filePath("stdout.txt")), stdoutText);
        QCOMPARE(r.out, QByteArray());
        QFile::remove(root->filePath("stdout.txt"));
    } else
        QCOMPARE(r.out, stdoutText);
    QCOMPARE(readBytes(iniPath()), iniAfter.isNull() ? iniBefore : iniAfter);
    const QByteArray now = readBytes(osplPath());
    if (osplAddress.isEmpty()) {
        QCOMPARE(now, osplBefore);
    } else {
        QVERIFY(now.contains("<NetworkInterfaceAddress>" + osplAddress.toUtf8() + "</NetworkInterfaceAddress>"));
    }
    if (check) {
        QStringList filesAfter;
        for (const QString& folder : folders)
            filesAfter << filesIn(folder);
        QCOMPARE(filesAfter, filesBefore);
        for (const QString& path : {iniPath(), osplPath()})
            if (QFileInfo::exists(path))
                QCOMPARE(QFileInfo(path).lastModified().toUTC(), aged);
    }
    if (stderrText.startsWith('='))
        QCOMPARE(r.debug, stderrText.mid(1).replace("%1", root->path()));
    else
        QVERIFY2(r.debug.contains(QString(stderrText).replace("%1", root->path())), qPrintable(r.debug.right(800)));
    // A line meant for an installer's log is one plain line each.
    for (const QString& line : r.debug.split('\n')) {
        if (line.startsWith("nicChooser: "))
            QVERIFY2(!line.contains('\r'), qPrintable(line));
        QVERIFY2(!line.startsWith("nicChooser: stored 10.99.1.1"), qPrintable(r.debug.right(800))); // no line forged
    }
}

void tst_process::pluginFolder_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said"); // empty: the folder is used
    const QStringList silent{"/silent"};
    QTest::newRow("plug-in folder missing: defaults kept, no abort") << "" << silent << 0 << "does not exist";
    QTest::newRow("plug-in folder present and used") << "platforms" << silent << 0 << "";
    QTest::newRow("Windows plug-ins only: defaults kept, no abort")
        << "windows" << silent << 0 << "holds no platform plug-in for offscreen";
    // A co-user who can write the installation must not get code run as root.
    QTest::newRow("plug-in folder of another user: not used")
        << "platforms nobody" << silent << 0 << "belongs to another user";
    // Whatever the folder holds and whatever the display, never an abort.
    QTest::newRow("only the X11 plug-in, no display, /silent /select")
        << "xcb-only nodisplay" << QStringList{"/silent", "/select=10.77.4.1"} << 0
        << "holds no platform plug-in for offscreen";
    QTest::newRow("only the X11 plug-in, a stale DISPLAY, /silent")
        << "xcb-only stale-display" << silent << 0 << "holds no platform plug-in for offscreen";
    QTest::newRow("only the X11 plug-in, a stale DISPLAY, the dialog")
        << "xcb-only stale-display" << QStringList{} << 5 << "holds no platform plug-in for offscreen";
    QTest::newRow("a stale DISPLAY, the dialog") << "platforms stale-display" << QStringList{} << 5 << "";
    QTest::newRow("-platform naming what cannot start, /silent")
        << "platforms nodisplay" << QStringList{"/silent", "-platform", "xcb"} << 5 << "";
    // Nobody would close a box the toolkit might show first (Windows).
    QTest::newRow("-platform naming what no plug-in serves, /silent /select: a line, no box")
        << "nodisplay" << QStringList{"/silent", "/select=10.77.4.1", "-platform", "nosuch"} << 5
        << "keeping the toolkit's default library paths";
    // An installation made for an older 32-bit build: its plug-ins cannot
    // load here, so the toolkit's own serve, and both files are stored.
    const QStringList store{"/silent", "/select=10.77.4.1", "/ospl"};
    QTest::newRow("a plug-in for another machine, /silent /select /ospl: both files stored at once")
        << "foreign nodisplay" << store << 0 << "is for 32-bit x86; this program is 64-bit x86-64";
    QTest::newRow("a plug-in built with another minor version, /silent /select /ospl: both files stored at once")
        << "old-toolkit nodisplay" << store << 0 << "was built with toolkit 5.8";
    // Nowhere a plug-in for the platform named that this program can load:
    // a line and status 5, never the toolkit's box (Windows) or abort.
    QTest::newRow("only a plug-in for another machine serves the platform named, /silent /select: a line, no box")
        << "foreign-key nodisplay" << QStringList{"/silent", "/select=10.77.4.1", "-platform", "offscreex"} << 5
        << "keeping the toolkit's default library paths";
    // A person's run gets as far as asking (here nobody sees the offscreen
    // window, so it ends at once, as any dialog run there does).
    QTest::newRow("a plug-in for another machine, the dialog: the toolkit starts, nobody to ask offscreen")
        << "foreign" << QStringList{} << 5 << "is for 32-bit x86; this program is 64-bit x86-64";
}

void tst_process::pluginFolder()
{
    QFETCH(QString, setup);
    const QString patch = setup.section(' ', 0, 0);
    const bool patched = patch == "foreign" || patch == "old-toolkit";
    if (setup != "nodisplay" && !patched && patch != "foreign-key")
        NC_LINUX_ONLY("the plug-in folder's rules about owners and window systems are the Linux start-up's; the "
                      "Windows zip check shows the folder used");
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, said);
    writeBytes(iniPath(), validIni);
    const QString lib = root->filePath("SYS/windows/lib");
    const QString system = toolkitPlatformsFolder();
    if (setup.contains("platforms")) {
        // The installation's folder holds the platform plug-ins; a link to
        // the system's stands in for them.
        QVERIFY(QDir().mkpath(lib));
        QVERIFY(QFile::link(system, lib + "/platforms"));
    } else if (setup.contains("xcb-only")) {
        QVERIFY(QDir().mkpath(lib + "/platforms"));
        QVERIFY(QFile::link(system + "/libqxcb.so", lib + "/platforms/libqxcb.so"));
    } else if (setup == "windows") {
        QVERIFY(QDir().mkpath(lib + "/platforms"));
        writeBytes(lib + "/platforms/qwindows.dll", "MZ");
    }
    if (patched) {
        // The toolkit's own plug-ins for the platforms the run may start,
        // patched in one field (without a platform named, Windows starts its
        // own).
        QStringList platforms{"offscreen"};
#ifdef Q_OS_WIN
        platforms << "windows";
#endif
        QVERIFY(QDir().mkpath(lib + "/platforms"));
        for (const QString& platform : platforms) {
            const QString name = platformPluginName(platform);
            const QByteArray real = readBytes(system + "/" + name);
            const QByteArray bytes = patch == "foreign" ? asForeignMachine(real) : asBuiltWithMinor(real, 8);
            QVERIFY2(!bytes.isEmpty() && bytes != real, qPrintable(system + "/" + name));
            writeBytes(lib + "/platforms/" + name, bytes);
        }
    }
    auto resetEnvironment = qScopeGuard([this] { extraEnvironment.clear(); });
    if (patch == "foreign-key") {
        // The toolkit's offscreen plug-in for 32-bit x86, serving "offscreex"
        // alone, in the folder the toolkit is told to look in first.
        const QString name = platformPluginName("offscreen");
        QByteArray bytes = asForeignMachine(readBytes(system + "/" + name));
        const int meta = bytes.indexOf("QTMETADATA !");
        const int key = bytes.indexOf("offscreen", meta);
        QVERIFY2(meta >= 0 && key > meta, qPrintable(system + "/" + name));
        bytes.replace(key, 9, "offscreex");
        const QString elsewhere = root->filePath("elsewhere/platforms");
        QVERIFY(QDir().mkpath(elsewhere));
        writeBytes(elsewhere + "/" + name, bytes);
        extraEnvironment = QStringList{"QT_QPA_PLATFORM_PLUGIN_PATH=" + QDir::toNativeSeparators(elsewhere)};
    }
    if (setup.contains("nobody"))
        QCOMPARE(::chown(QFile::encodeName(lib).constData(), 65534, 65534), 0);
    const run r = start(args, 10000, setup.split(' ', Qt::SkipEmptyParts));
    QVERIFY2(r.finished, qPrintable(r.debug));
    QVERIFY2(r.exitCode == status, qPrintable(QStringLiteral("exit %1: %2").arg(r.exitCode).arg(r.debug.right(600))));
    if (patched) {
        QVERIFY2(r.ms < 3000 + startCostMs, qPrintable(QString("took %1 ms").arg(r.ms)));
        if (args.contains("/ospl")) {
            QCOMPARE(readBytes(iniPath()),
                     withIds(QByteArray("[xDS]\r\nbindAddress=10.77.4.1\r\nAdaptor=nc1\r\n")));
            QVERIFY(readBytes(osplPath()).contains("<NetworkInterfaceAddress>10.77.4.1</NetworkInterfaceAddress>"));
        } else {
            QCOMPARE(readBytes(iniPath()), validIni);
            QVERIFY2(r.debug.contains("nicChooser: there is no display"), qPrintable(r.debug));
        }
    }
    if (said.isEmpty())
        QVERIFY2(!r.debug.contains("keeping the toolkit's default library paths"), qPrintable(r.debug));
    else
        QVERIFY2(r.debug.contains(said) && r.debug.contains("; keeping the toolkit's default library paths"),
                 qPrintable(r.debug));
    // Status 5 is explained in one line.
    if (status == 5)
        QVERIFY2(r.debug.contains("\nnicChooser: ") || r.debug.startsWith("nicChooser: "), qPrintable(r.debug));
}

// A co-user swaps the link CC_ROOT goes through between the trusted
// installation and a folder of their own holding a plug-in that marks its
// loading, while root runs the tool again and again: the tool must never
// hand the toolkit a path that can lead elsewhere than what was checked.
void tst_process::pluginRaces_data()
{
    QTest::addColumn<bool>("rootLink");
    QTest::newRow("the co-user's own link, swapped") << false;
    QTest::newRow("root's link in the co-user's folder, swapped") << true;
}

void tst_process::pluginRaces()
{
    NC_LINUX_ONLY("a co-user swapping links is a Linux row");
    QFETCH(bool, rootLink);
    NC_REQUIRE(testUsers().ready, QStringLiteral("needs useradd and groupadd (package passwd) for throw-away users"));
    const int loaded = pluginRace(rootLink, 100);
    QVERIFY2(loaded == 0,
             qPrintable(QStringLiteral("the co-user's plug-in ran as root in %1 of 100 runs").arg(loaded)));
}

// The runs that loaded the co-user's plug-in.
int tst_process::pluginRace(bool rootLink, int runs)
{
    QTemporaryDir base;
    ::chmod(QFile::encodeName(base.path()).constData(), 0755);
    const passwd* owner = ::getpwnam(testUsers().owner.toLocal8Bit().constData());
    const QString home = base.filePath("home"), marker = base.filePath("marker");
    const QString evil = home + "/evil/SYS/windows/lib/platforms";
    QDir().mkpath(evil);
    QFile::copy(NC_MARKER_PLUGIN, evil + "/libqncmarker.so");
    QDir().mkpath(root->filePath("SYS/windows/lib"));
    QFile::link(QLibraryInfo::location(QLibraryInfo::PluginsPath) + "/platforms",
                root->filePath("SYS/windows/lib/platforms"));
    writeBytes(iniPath(), validIni);
    const QByteArray cc = QFile::encodeName(home + "/cc"), cc2 = QFile::encodeName(home + "/cc2");
    ::symlink(QFile::encodeName(root->path()).constData(), cc.constData());
    ::symlink(QFile::encodeName(home + "/evil").constData(), cc2.constData());
    runProcess("chown", {"-R", QString::number(owner->pw_uid), home});
    if (rootLink)
        for (const QByteArray& link : {cc, cc2})
            ::lchown(link.constData(), 0, 0);
    QProcess swapper;
    swapper.start(NC_SWAP_TOOL,
                  {QString::number(owner->pw_uid), QString::number(owner->pw_gid), home + "/cc", home + "/cc2"});
    swapper.waitForStarted();
    rootPath = home + "/cc";
    extraEnvironment = QStringList{"NC_PLUGIN_MARKER=" + marker};
    int usedTrusted = 0;
    for (int i = 0; i < runs; ++i) {
        const run r = start({"/silent"}, 10000);
        usedTrusted += r.debug.contains("keeping the toolkit's default library paths") ? 0 : 1;
    }
    const bool raced = swapper.state() == QProcess::Running;
    swapper.kill();
    swapper.waitForFinished();
    rootPath.clear();
    extraEnvironment.clear();
    if (!raced)
        qWarning("the swapper stopped: %s", swapper.readAllStandardError().constData());
    qInfo("%d runs, %d of them used the trusted folder", runs, usedTrusted);
    return QString::fromLatin1(readBytes(marker)).count("loaded");
}

QTEST_GUILESS_MAIN(tst_process)
#include "tst_process.moc"
