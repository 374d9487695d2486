#include "choiceStore.h"
#include "fileReplace.h"
#include "localSettings.h"

#include "debugLog.h"

#include <memory>

storeOutcome storeChoice(const QString& settingsPath, const QString& osplPath, const QString& address,
                         const QString& adaptor, osplWalk walk, const lockWaitHook& settingsWait,
                         const lockWaitHook& osplWait)
{
    storeOutcome r;
    const QList<settingsEntry> entries{{QStringLiteral("bindAddress"), address}, {QStringLiteral("Adaptor"), adaptor}};
    r.settings = settingsAllowed(entries);
    if (!r.settings.ok()) {
        ncDebug() << "Not writing" << settingsPath << ":" << r.settings.reason();
        return r;
    }
    // Held until the DDS configuration is done too: another copy storing its
    // own choice meanwhile would otherwise leave the two files disagreeing.
    const auto settings = std::make_unique<fileEdit>(settingsPath, true, 10000, settingsWait);
    const bool wasMissing = settings->ready() && settings->missing();
    r.settings = writeSettings(*settings, entries);
    r.settingsCreated = r.settings == outcome::done && wasMissing;
    if (r.settings.ok() && !osplPath.isEmpty())
        r.dds = updateOsplConfig(osplPath, address, walk, osplWait, &r.ddsBinding);
    return r;
}
