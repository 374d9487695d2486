#include "choice.h"
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

// /list: the rows the dialog would show, for scripts; no window, no display.
int listRows(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString root = environmentValue("CC_ROOT");
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
    const commandSwitches switches = scanSwitches(argumentsOf(argc, argv));
    if (switches.list)
        return listRows(argc, argv);

    if (!prepareDisplay(switches.silent) && !switches.silent)
        return nobodyToAsk();
    // After the platforms are chosen: the installation's folder must hold them.
    useInstallationPlugins();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    displayStarted();
    if (!switches.silent && !personPresent())
        return nobodyToAsk();
    nicChooser dialog;
    dialog.show();
    // The dialog's accepted/rejected result is deliberately not passed on:
    // the status tells what was stored, and a cancel is no failure.
    const int loop = app.exec();
    return loop != 0 ? loop : dialog.exitCode();
}
