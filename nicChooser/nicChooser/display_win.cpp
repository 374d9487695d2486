#include "display.h"

#include <QGuiApplication>

// Every interactive Windows session has a desktop; services have none but
// are not where this tool runs. Windows of the offscreen and minimal
// platforms (named with -platform or QT_QPA_PLATFORM) still reach nobody.
namespace {
bool prepared = false;
}

bool prepareDisplay(bool)
{
    prepared = true;
    return true;
}

void displayStarted()
{}

bool personPresent()
{
    if (!prepared)
        return true;
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}
