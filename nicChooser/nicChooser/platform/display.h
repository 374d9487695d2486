#pragma once
// Whether a window can reach a person. Unattended runs on servers have no
// display at all; they must neither abort for the lack of one nor wait for
// an answer that nobody can give.

#include <QString>
#include <QStringList>

/// Prepares the toolkit's choice of window system before the application object exists: where a person may be present,
/// the usual one; otherwise (or, when unattended, should the usual one fail) windows go offscreen. Returns whether a
/// person may be present. Until displayStarted(), a toolkit that can start none of its platforms (a command line's
/// -platform, plug-ins that will not load) does not abort: it ends the run with one "nicChooser: " line on stderr and
/// exit status 5 (exitNoDisplay).
bool prepareDisplay(bool unattended);

/// Once the library paths are settled (pluginFolder: what useInstallationPlugins returned) and before the application
/// object exists. Where a toolkit that finds no plug-in for the platform it would start first shows a message box of
/// its own and waits for it to be closed (a Windows program without a console), an unattended (/silent) run that no
/// folder the toolkit searches holds such a plug-in for ends here as prepareDisplay says (one line, status 5), with
/// nobody to close the box. Elsewhere, and for a run a person watches, nothing: the toolkit's own message reaches that
/// person first.
void requirePlatformPlugin(bool unattended, const QStringList& arguments, const QString& pluginFolder);

/// The application object exists: the toolkit's fatal errors are its own again.
void displayStarted();

/// Once the application object exists: whether its windows reach a person (false when prepareDisplay fell back to
/// offscreen, or found that nobody can see this process's windows). True in a program that never called
/// prepareDisplay.
bool personPresent();

/// Ends the run as a toolkit that could start no platform does: one "nicChooser: " line saying so and why, status 5.
[[noreturn]] void endWithoutPlatform(const QString& why);

/// The platform file's part of prepareDisplay (display_unix.cpp, display_win.cpp): chooses the window system as
/// prepareDisplay says, and returns whether a person may be present (on Windows: whether the process runs outside
/// session 0, the services' session, and its window station is visible, which a scheduled task's or a remote shell's
/// is not).
bool choosePlatform(bool unattended);
