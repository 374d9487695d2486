#pragma once
// Where the toolkit takes its plug-ins from: the installation's own folder
// {CC_ROOT}/{CC_SYSTEM}/windows/lib when it can serve, the toolkit's default
// folders otherwise.
//
// Plug-ins are code the tool runs with the rights of whoever starts it, often
// root (SYSTEM, an elevated installer). So the folder is used only when nobody else could have put code into
// it, and the toolkit is handed exactly the folder that was checked: the path
// as given is followed as the files' paths are (a symbolic link only on its
// owner's word, see pathWalk.h), and the folder it leads to, as the system
// names it with no link left on the way, is what the toolkit gets. Every
// folder on that way, the folder itself and everything in it belong to root
// or to the user running the tool, and nobody else may write them (a folder
// on the way that others may write is acceptable only with the sticky bit,
// when its next entry belongs to root or the user). A link in it is followed
// as the toolkit will follow it, and every step of that way must be one only
// root or the user can change. The folder must also hold a plug-in for every
// platform this run may start (see prepareDisplay); without one the toolkit
// would abort before anything could be shown (an installation may carry
// Windows plug-ins only, or none for a run without a display).
//
// Every library in its platforms folder must also be one this program can
// load, as far as the files tell without loading them (binaryImage.h): built
// for this machine and word size; a platform plug-in built with this
// toolkit's major and minor version (it reaches into the toolkit's private
// interface); every toolkit library it needs one beside this program's
// toolkit core. An installation made for an older 32-bit build carries just
// such plug-ins, and the toolkit would fail on them (on Windows with a box
// nobody may be there to close). Other libraries they need (the C runtime,
// the system's) are not checked.
//
// On Windows the same rule reads owners and access lists (startup_win.cpp):
// administrators, SYSTEM, TrustedInstaller and the user running the tool take
// root's and the user's place, and a folder on the way that others may only
// add to stands for a sticky one.

#include "outcome.h"

#include <QString>
#include <QStringList>

/// When CC_ROOT and CC_SYSTEM are both set and not empty, and their plug-in folder exists, is trusted, holds in its
/// platforms folder only libraries this program can load and a plug-in for every platform this run may start, makes that folder (as the system resolves it) the toolkit's only
/// library path and returns it; otherwise leaves the defaults (a debug line says why) and returns empty. Call after
/// prepareDisplay and before the application object exists.
QString useInstallationPlugins();

/// The platforms the toolkit may start in this run, in the order it tries them (QT_QPA_PLATFORM, or its default).
QStringList platformsToStart();

/// The platforms the plug-ins in folder (a "platforms" folder) that this program can load (see above) serve, lower-case,
/// as their metadata names them: read from the files, nothing is loaded.
QStringList platformPluginsIn(const QString& folder);

/// Whether the toolkit library name, as a library needs it, is one of this program's toolkit: it lies in the folder this
/// program's toolkit core was loaded from (platform file).
bool toolkitLibraryFound(const QString& name);

/// Whether code in folder can only have been put there by root or the user running the tool (on Windows: administrators,
/// SYSTEM, TrustedInstaller or the user; what was checked then stays open, undeletable, while the program runs): done,
/// with *resolved the folder as the system resolves it, which is what the toolkit must be given (platform file); missing
/// when there is no such folder; refused, with why, when someone else could have.
outcome trustedCodeFolder(const QString& folder, QString* resolved);

/// Lets go of what the last trustedCodeFolder holds, for a folder that will not be used after all (platform file).
void releaseCheckedFolder();
