#pragma once
// Storing a chosen row: its address and adaptor ID into the settings file,
// both in one replacement, and when asked the address into the DDS
// configuration. The settings file's lock is held until the DDS
// configuration is done too, so that copies storing at once leave the two
// files agreeing. Free of widgets; it calls the settings and DDS rooms and
// the file layer, and nothing calls back.

#include "osplConfig.h"
#include "outcome.h"

#include <QString>

/// What storing came to, file by file.
struct storeOutcome {
    outcome settings; ///< the settings file's; nothing else was tried unless it is ok()
    outcome dds;      ///< the DDS configuration's; done when none was asked for
    osplBinding ddsBinding; ///< what the DDS configuration said about the address, when it could be read
    bool settingsCreated = false; ///< the settings file did not exist and was made
    /// Both files hold the choice (a DDS configuration without the element counts as holding it).
    bool ok() const { return settings.ok() && osplUpdated(dds); }
};

/// Stores address and adaptor in the settings file at settingsPath and, when osplPath is not empty, the address in the
/// DDS configuration there, found by walk; bad input is refused before anything is locked. The hooks, when given, are
/// asked while another writer holds the settings file or the DDS configuration (see lockWaitHook).
storeOutcome storeChoice(const QString& settingsPath, const QString& osplPath, const QString& address,
                         const QString& adaptor, osplWalk walk, const lockWaitHook& settingsWait = lockWaitHook(),
                         const lockWaitHook& osplWait = lockWaitHook());
