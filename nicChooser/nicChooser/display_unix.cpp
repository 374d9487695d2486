#include "display.h"

#include <QByteArray>
#include <QGuiApplication>

namespace {
bool prepared = false;
bool fallbackChosen = false;
} // namespace

bool prepareDisplay(bool unattended)
{
    prepared = true;
    // A platform named by the caller is theirs to answer for, offscreen
    // included: tests and kiosks choose it on purpose.
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return true;
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (!wayland && qEnvironmentVariableIsEmpty("DISPLAY")) {
        fallbackChosen = true;
        if (unattended)
            qputenv("QT_QPA_PLATFORM", "offscreen");
        return false;
    }
    // A display that is named but cannot be reached (a stale DISPLAY in an
    // SSH session) makes the toolkit abort; with a list it tries the next.
    fallbackChosen = true;
    qputenv("QT_QPA_PLATFORM", wayland ? "wayland;xcb;offscreen" : "xcb;offscreen");
    return true;
}

bool personPresent()
{
    if (!prepared || !fallbackChosen)
        return true;
    return QGuiApplication::platformName() != QLatin1String("offscreen");
}
