#include "display.h"

#include <QByteArray>

// A person may be present where a display is named.
bool choosePlatform(bool unattended)
{
    // A platform named by the caller is theirs to choose; whether its windows
    // reach anybody is known once it runs (personPresent). Unattended, one
    // that cannot start (xcb named where no display is) must not abort the
    // run: the toolkit then tries offscreen.
    const QByteArray named = qgetenv("QT_QPA_PLATFORM");
    if (!named.isEmpty()) {
        if (unattended && !named.split(';').contains("offscreen"))
            qputenv("QT_QPA_PLATFORM", named + ";offscreen");
        return true;
    }
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (!wayland && qEnvironmentVariableIsEmpty("DISPLAY")) {
        if (unattended)
            qputenv("QT_QPA_PLATFORM", "offscreen");
        return false;
    }
    // A display that is named but cannot be reached (a stale DISPLAY in an
    // SSH session) makes the toolkit abort; with a list it tries the next.
    qputenv("QT_QPA_PLATFORM", wayland ? "wayland;xcb;offscreen" : "xcb;offscreen");
    return true;
}

// Here the toolkit's fatal error reaches the handler before anything waits.
void requirePlatformPlugin(bool, const QStringList&, const QString&) {}
