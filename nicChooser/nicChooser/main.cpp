#include "choice.h"
#include "display.h"
#include "installPaths.h"
#include "localSettings.h"
#include "nicChooser.h"
#include "startup.h"

#include <QApplication>
#include <QCoreApplication>

#include <cstdio>

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
        std::fprintf(stderr, "nicChooser: CC_ROOT is not set, so no row is marked as stored\n");
    } else {
        address = readSetting(localSettingsPath(root), QStringLiteral("bindAddress"));
        adaptor = readSetting(localSettingsPath(root), QStringLiteral("Adaptor"));
    }
    const QByteArray text = listing(adaptorRows(systemInterfaces(), address, adaptor)).toLocal8Bit();
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return std::fflush(stdout) == 0 ? exitDone : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const commandSwitches switches = scanSwitches(argumentsOf(argc, argv));
    if (switches.list)
        return listRows(argc, argv);

    useInstallationPlugins();
    if (!prepareDisplay(switches.silent)) {
        if (!switches.silent) {
            std::fprintf(stderr, "nicChooser: there is no display to show the dialog on; /silent and /list "
                                 "work without one\n");
            return exitNoDisplay;
        }
    }
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    if (!switches.silent && !personPresent()) {
        std::fprintf(stderr, "nicChooser: the display cannot be reached; /silent and /list work without one\n");
        return exitNoDisplay;
    }
    nicChooser dialog;
    dialog.show();
    // The dialog's accepted/rejected result is deliberately not passed on:
    // the status tells what was stored, and a cancel is no failure.
    const int loop = app.exec();
    return loop != 0 ? loop : dialog.exitCode();
}
