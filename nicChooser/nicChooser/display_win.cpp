#include "runReport.h"
#include "display.h"
#include "systemText.h"

#include <QByteArray>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

// Every interactive Windows session has a desktop; services have none but
// are not where this tool runs. Windows of the offscreen and minimal
// platforms (named with -platform or QT_QPA_PLATFORM) still reach nobody.
namespace {

bool prepared = false;
QtMessageHandler previousHandler = nullptr;

// While the toolkit starts, its fatal error is that it could start no
// platform (a missing or broken plug-in folder): one line and status 5, not
// the runtime's abort, whose message box an unattended run would wait on.
void startingHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtFatalMsg) {
        previousHandler(type, context, message);
        return;
    }
    const QByteArray line = systemBytes(oneLine(message.section(QLatin1Char('\n'), 0, 0), true));
    std::fprintf(stderr,
                 "nicChooser: the toolkit could start none of its window systems here (%s); there is no display to "
                 "show the dialog on, and nothing was written\n",
                 line.constData());
    std::fflush(stderr);
    std::_Exit(exitNoDisplay);
}

} // namespace

bool prepareDisplay(bool)
{
    prepared = true;
    previousHandler = qInstallMessageHandler(startingHandler);
    return true;
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
