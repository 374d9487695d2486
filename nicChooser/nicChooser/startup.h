#pragma once
// Where the toolkit takes its plug-ins from: the installation's own folder
// {CC_ROOT}/{CC_SYSTEM}/windows/lib when it can serve, the toolkit's default
// folders otherwise.
//
// Plug-ins are code the tool runs with the rights of whoever starts it, often
// root. So the folder is used only when nobody else could have put code into
// it: the folder, the folders above it and everything in it belong to root or
// to the user running the tool, and nobody else may write them (a folder on
// the way that others may write is acceptable only with the sticky bit, when
// its next entry belongs to root or the user). It must also hold a platform
// plug-in for this system; without one the toolkit would abort before
// anything could be shown (an installation may carry Windows plug-ins only).

#include <QString>

/// When CC_ROOT and CC_SYSTEM are both set and not empty, and their plug-in folder exists, can serve and is trusted,
/// makes it the toolkit's only library path and returns it; otherwise leaves the defaults (a debug line says why) and
/// returns empty. Call before the application object exists.
QString useInstallationPlugins();

/// Why code in folder could have been put there by someone other than root or the user running the tool; empty when it
/// could not (platform file).
QString untrustedCodeFolder(const QString& folder);
