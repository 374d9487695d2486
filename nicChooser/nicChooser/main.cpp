#include "choice.h"
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
    const QString root = environmentValue("CC_ROOT");
    QString address, adaptor;
    if (root.isEmpty()) {
        tell(QStringLiteral("CC_ROOT is not set, so no row is marked as stored"));
    } else {
        QString unreadable;
        const QStringList stored = readSettings(
            localSettingsPath(root), {QStringLiteral("bindAddress"), QStringLiteral("Adaptor")}, &unreadable);
        if (!unreadable.isEmpty())
            tell(
                QStringLiteral("the settings file cannot be read (%1), so no row is marked as stored").arg(unreadable));
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

// Nobody can see a dialog here: say why nothing happens, the missing
// variables first, as the dialog would.
int nobodyToAsk()
{
    const QString missing = missingVariables(environmentValue("CC_ROOT"), environmentValue("CC_SYSTEM"));
    if (!missing.isEmpty()) {
        tell(fatalText(missing));
        return exitNoVariable;
    }
    tell(QStringLiteral("there is no display to show the dialog on; /silent, /select and /list work without one"));
    return exitNoDisplay;
}

} // namespace

int main(int argc, char** argv)
{
    keepDebugLinesPlain();
    const commandSwitches switches = scanSwitches(argumentsOf(argc, argv));
    if (switches.list)
        return listRows(argc, argv);

    if (!prepareDisplay(switches.silent) && !switches.silent) {
        tellUnknown(argumentsOf(argc, argv));
        return nobodyToAsk();
    }
    // After the platforms are chosen: the installation's folder must hold them.
    useInstallationPlugins();
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
