#include "display.h"
#include "debugLog.h"
#include "display_win.h"
#include "modulePath.h"
#include "startup.h"

#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>

#include <windows.h>

namespace {

// The platform the toolkit will try: a command line's -platform (--platform
// too) wins over QT_QPA_PLATFORM, as the toolkit reads them.
QStringList wantedPlatforms(const QStringList& arguments)
{
    for (int i = 1; i + 1 < arguments.size(); ++i)
        if (arguments.at(i) == QLatin1String("-platform") || arguments.at(i) == QLatin1String("--platform"))
            return {arguments.at(i + 1).section(QLatin1Char(':'), 0, 0)};
    return platformsToStart();
}

sessionReader& sessionSeam()
{
    static sessionReader r;
    return r;
}

bool currentSession(DWORD* session)
{
    if (sessionSeam())
        return sessionSeam()(session);
    return ProcessIdToSessionId(GetCurrentProcessId(), session);
}

} // namespace

void setSessionReader(const sessionReader& reader)
{
    sessionSeam() = reader;
}

// Services run in session 0, where no user logs on: the windows of an
// interactive service, or of a program started with "psexec -s -i 0", sit on
// that session's WinSta0, which carries WSF_VISIBLE, and reach only one who
// connected to session 0 - in practice nobody. A session that cannot be read
// leaves the answer to the window station.
// A scheduled task run whether or not anyone is logged on, an SSH or remote
// shell, a service that is not interactive: each runs in a window station of
// its own that has no visible display surface, and a window there reaches
// nobody. Only the interactive window station carries WSF_VISIBLE. A station
// whose flags cannot be read may still be a person's: the dialog is not
// refused for it.
// Windows of the offscreen and minimal platforms (named with -platform or
// QT_QPA_PLATFORM) still reach nobody either (personPresent).
bool choosePlatform(bool)
{
    DWORD session = 0;
    if (currentSession(&session) && session == 0) {
        ncDebug() << "This process runs in session 0, the services' session, where no user is logged on: nobody can "
                     "see a window";
        return false;
    }
    const HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed))
        return true;
    if (flags.dwFlags & WSF_VISIBLE)
        return true;
    wchar_t name[256] = {};
    GetUserObjectInformationW(station, UOI_NAME, name, sizeof name - sizeof *name, &needed);
    ncDebug() << "The window station" << QString::fromWCharArray(name)
              << "has no visible display (a service's, a scheduled task's or a remote shell's): nobody can see a window";
    return false;
}

// Without a console the toolkit shows its "failed to start" box before its
// fatal error reaches the handler, and an installer's /silent run would wait
// on it for good. So its search is repeated here, in its order, on the files.
void requirePlatformPlugin(bool unattended, const QStringList& arguments, const QString& pluginFolder)
{
    if (!unattended || !pluginFolder.isEmpty()) // a person sees the box; the installation's folder was checked
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
