#include "runReport.h"
#include "display.h"
#include "modulePath.h"
#include "startup.h"
#include "systemText.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLibraryInfo>

#include <cstdio>
#include <cstdlib>

// Every interactive Windows session has a desktop; services have none but
// are not where this tool runs. Windows of the offscreen and minimal
// platforms (named with -platform or QT_QPA_PLATFORM) still reach nobody.
namespace {

bool prepared = false;
bool unattendedRun = false;
QtMessageHandler previousHandler = nullptr;

[[noreturn]] void endWithoutPlatform(const QString& why)
{
    const QByteArray line = systemBytes(oneLine(why, true));
    std::fprintf(stderr,
                 "nicChooser: the toolkit could start none of its window systems here (%s); there is no display to "
                 "show the dialog on, and nothing was written\n",
                 line.constData());
    std::fflush(stderr);
    std::_Exit(exitNoDisplay);
}

// While the toolkit starts, its fatal error is that it could start no
// platform (a missing or broken plug-in folder): one line and status 5, not
// the runtime's abort, whose message box an unattended run would wait on.
void startingHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtFatalMsg) {
        previousHandler(type, context, message);
        return;
    }
    endWithoutPlatform(message.section(QLatin1Char('\n'), 0, 0));
}

// The platform the toolkit will try: a command line's -platform (--platform
// too) wins over QT_QPA_PLATFORM, as the toolkit reads them.
QStringList wantedPlatforms(const QStringList& arguments)
{
    for (int i = 1; i + 1 < arguments.size(); ++i)
        if (arguments.at(i) == QLatin1String("-platform") || arguments.at(i) == QLatin1String("--platform"))
            return {arguments.at(i + 1).section(QLatin1Char(':'), 0, 0)};
    return platformsToStart();
}

} // namespace

bool prepareDisplay(bool unattended)
{
    prepared = true;
    unattendedRun = unattended;
    previousHandler = qInstallMessageHandler(startingHandler);
    return true;
}

// Without a console the toolkit shows its "failed to start" box before its
// fatal error reaches the handler, and an installer's /silent run would wait
// on it for good. So its search is repeated here, in its order, on the files.
void requirePlatformPlugin(const QStringList& arguments, const QString& pluginFolder)
{
    if (!unattendedRun || !pluginFolder.isEmpty()) // a person sees the box; the installation's folder was checked
        return;
    const QStringList wanted = wantedPlatforms(arguments);
    QStringList folders;
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM_PLUGIN_PATH"))
        folders << qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH");
    QStringList roots{QFileInfo(modulePath()).absolutePath()};
    roots += qEnvironmentVariable("QT_PLUGIN_PATH").split(QDir::listSeparator(), Qt::SkipEmptyParts);
    roots << QLibraryInfo::location(QLibraryInfo::PluginsPath);
    for (const QString& root : roots)
        folders << root + QLatin1String("/platforms");
    for (const QString& folder : folders) {
        const QStringList served = platformPluginsIn(folder);
        for (const QString& platform : wanted)
            if (served.contains(platform.toLower()))
                return;
    }
    endWithoutPlatform(QStringLiteral("no plug-in for %1 beside the program or in the toolkit's folders")
                           .arg(wanted.join(QLatin1String(", "))));
}

void displayStarted()
{
    qInstallMessageHandler(previousHandler);
}

bool personPresent()
{
    if (!prepared)
        return true;
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}
