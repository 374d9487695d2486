#include "display.h"
#include "runReport.h"
#include "systemText.h"

#include <QByteArray>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

namespace {

bool prepared = false;
bool stationSeen = true; // what choosePlatform said
QtMessageHandler previousHandler = nullptr;

// While the toolkit starts, its fatal error is that it could start no window
// system (no display, a missing or broken plug-in): told as a missing
// display, never an abort, whose core dump or runtime box tells nobody why.
void startingHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtFatalMsg) {
        previousHandler(type, context, message);
        return;
    }
    endWithoutPlatform(message.section(QLatin1Char('\n'), 0, 0));
}

} // namespace

void endWithoutPlatform(const QString& why)
{
    const QByteArray line = systemBytes(oneLine(why, true));
    std::fprintf(stderr,
                 "nicChooser: the toolkit could start none of its window systems here (%s); there is no display to "
                 "show the dialog on, and nothing was written\n",
                 line.constData());
    std::fflush(stderr);
    std::_Exit(exitNoDisplay);
}

bool prepareDisplay(bool unattended)
{
    prepared = true;
    previousHandler = qInstallMessageHandler(startingHandler);
    stationSeen = choosePlatform(unattended);
    return stationSeen;
}

void displayStarted()
{
    qInstallMessageHandler(previousHandler);
}

bool personPresent()
{
    if (!prepared)
        return true;
    // Windows of these platforms are drawn into memory, where nobody sees
    // them, whoever chose the platform; and windows of any platform where
    // nobody looks (a Windows service's window station) reach nobody either.
    const QString platform = QGuiApplication::platformName();
    return stationSeen && platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}
