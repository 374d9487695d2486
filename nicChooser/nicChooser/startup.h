#pragma once

#include <QString>

/// When CC_ROOT and CC_SYSTEM are both set and not empty, and their plug-in folder exists, makes that folder the
/// toolkit's only library path and returns it; otherwise leaves the defaults (a debug line names a missing folder) and
/// returns empty. Call before the application object exists.
QString useInstallationPlugins();
