#include "runReport.h"
#include "console.h"
#include "debugLog.h"
#include "display.h"
#include "fileReplace.h"
#include "installPaths.h"
#include "localSettings.h"
#include "nicChooser.h"
#include "startup.h"
#include "systemText.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

QStringList argumentsOf(int argc, char** argv)
{
    QStringList out;
    for (int i = 0; i < argc; ++i)
        out << QString::fromLocal8Bit(argv[i]);
    return out;
}

// Arguments that are no switch are named, so that a misspelt one is not
// taken for a run that did as asked.
void tellUnknown(const QStringList& arguments)
{
    const QString ignored = unknownArguments(scanSwitches(arguments).unknown);
    if (!ignored.isEmpty())
        tell(ignored);
}

// /list: the rows the dialog would show, for scripts; no window, no display.
int listRows(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    tellUnknown(QCoreApplication::arguments());
    const QString root = environmentText("CC_ROOT");
    QString address, adaptor;
    if (root.isEmpty()) {
        tell(QStringLiteral("CC_ROOT is not set, so no row is marked as stored"));
    } else {
        QStringList stored;
        const outcome read =
            readSettings(localSettingsPath(root), {QStringLiteral("bindAddress"), QStringLiteral("Adaptor")}, &stored);
        if (!read.ok() && read != outcome::missing)
            tell(QStringLiteral("the settings file cannot be read (%1), so no row is marked as stored")
                     .arg(read.reason()));
        address = stored.value(0);
        adaptor = stored.value(1);
    }
    const QByteArray text = systemBytes(listing(adaptorRows(systemInterfaces(), address, adaptor)));
    if (std::fwrite(text.constData(), 1, size_t(text.size()), stdout) != size_t(text.size())
        || std::fflush(stdout) != 0) {
        tell(QStringLiteral("could not write the list: ") + QString::fromLocal8Bit(std::strerror(errno)));
        return exitOutputFailed;
    }
    return exitDone;
}

// /check: whether the installation agrees with its stored choice, for
// monitoring; no window, no display, and no file written or locked.
int checkInstallation(int argc, char** argv, bool ospl)
{
    QCoreApplication app(argc, argv);
    tellUnknown(QCoreApplication::arguments());
    const QString root = environmentText("CC_ROOT"), system = environmentText("CC_SYSTEM");
    const QString missing = missingVariables(root, system);
    if (!missing.isEmpty()) {
        tell(fatalText(missing));
        return exitNoVariable;
    }
    installationState state;
    const QString settings = localSettingsPath(root);
    state.settingsFile = QDir::toNativeSeparators(settings);
    QStringList stored;
    const outcome read = readSettings(settings, {QStringLiteral("bindAddress"), QStringLiteral("Adaptor")}, &stored);
    if (!read.ok() && read != outcome::missing)
        state.unreadable = read.reason();
    state.storedAddress = stored.value(0);
    state.storedAdaptor = stored.value(1);
    for (const adaptorRow& row : adaptorRows(systemInterfaces(), state.storedAddress, state.storedAdaptor)) {
        state.storedListed = state.storedListed || row.selected;
        if (state.elsewhere.isEmpty() && !state.storedAddress.isEmpty() && row.dest.address == state.storedAddress)
            state.elsewhere = row.dest.adaptorId;
    }
    if (state.storedListed)
        state.elsewhere.clear();
    if (ospl) {
        const QString dds = osplConfigPath(root, system);
        state.ddsFile = QDir::toNativeSeparators(dds);
        state.dds = inspectOsplConfig(dds, &state.binding);
    }
    const QStringList lines = checkLines(state);
    for (const QString& line : lines)
        tell(line);
    return lines.isEmpty() ? exitDone : exitDisagrees;
}

// Nobody can see a dialog here: say why nothing happens, the missing
// variables first, as the dialog would.
int nobodyToAsk()
{
    const QString missing = missingVariables(environmentText("CC_ROOT"), environmentText("CC_SYSTEM"));
    if (!missing.isEmpty()) {
        tell(fatalText(missing));
        return exitNoVariable;
    }
    tell(QStringLiteral("there is no display to show the dialog on; /silent, /select and /list work without one"));
    return exitNoDisplay;
}

// --help and --version: answered before anything else, so that they work
// without a display and read no file. Exact words only: "/..." arguments are
// the tool's switches, and "--help" can never start with one of them.
const char usage[] =
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

// The answer to the first --help or --version in argv; -1 when there is none.
int answerAbout(int argc, char** argv)
{
    const QByteArray version = QByteArrayLiteral("nicChooser " NC_VERSION "\n");
    for (int i = 1; i < argc; ++i) {
        const bool help = std::strcmp(argv[i], "--help") == 0;
        if (!help && std::strcmp(argv[i], "--version") != 0)
            continue;
        const char* text = help ? usage : version.constData();
        const size_t length = std::strlen(text);
        if (std::fwrite(text, 1, length, stdout) != length || std::fflush(stdout) != 0) {
            tell(QStringLiteral("could not write the %1: ").arg(QLatin1String(help ? "usage" : "version"))
                 + QString::fromLocal8Bit(std::strerror(errno)));
            return exitOutputFailed;
        }
        return exitDone;
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    // Before any drive is touched: no system box may wait for a person.
    failCriticalErrorsQuietly();
    // Before anything is written: an operator's console must get all of it.
    joinStartingConsole();
    const int about = answerAbout(argc, argv);
    if (about >= 0)
        return about;
    keepDebugLinesPlain();
    const commandSwitches switches = scanSwitches(argumentsOf(argc, argv));
    if (switches.check)
        return checkInstallation(argc, argv, switches.ospl);
    if (switches.list)
        return listRows(argc, argv);

    if (!prepareDisplay(switches.silent) && !switches.silent) {
        tellUnknown(argumentsOf(argc, argv));
        return nobodyToAsk();
    }
    // After the platforms are chosen: the installation's folder must hold them.
    requirePlatformPlugin(switches.silent, argumentsOf(argc, argv), useInstallationPlugins());
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    displayStarted();
    // As the toolkit left them: its own options (-platform ...) are no concern here.
    tellUnknown(QCoreApplication::arguments());
    if (!switches.silent && !personPresent())
        return nobodyToAsk();
    nicChooser dialog;
    // Done already and nobody to see it: showing a window on an offscreen
    // platform only earns a warning from the toolkit.
    if (dialog.closing() && !personPresent())
        return dialog.exitCode();
    dialog.show();
    // The dialog's accepted/rejected result is deliberately not passed on:
    // the status tells what was stored, and a cancel is no failure.
    const int loop = app.exec();
    return loop != 0 ? loop : dialog.exitCode();
}
