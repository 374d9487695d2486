#include "runReport.h"
#include "display.h"
#include "systemText.h"

#include <QByteArray>
#include <QGuiApplication>

#include <cstdio>
#include <unistd.h>

namespace {

bool prepared = false;
QtMessageHandler previousHandler = nullptr;

// While the toolkit starts, its fatal error is that it found no window
// system it could start: told as a missing display, never an abort.
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
    ::_exit(exitNoDisplay);
}

} // namespace

bool prepareDisplay(bool unattended)
{
    prepared = true;
    previousHandler = qInstallMessageHandler(startingHandler);
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
void requirePlatformPlugin(const QStringList&, const QString&) {}

void displayStarted()
{
    qInstallMessageHandler(previousHandler);
}

bool personPresent()
{
    if (!prepared)
        return true;
    // Windows of these platforms are drawn into memory, where nobody sees
    // them, whoever chose the platform.
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}
