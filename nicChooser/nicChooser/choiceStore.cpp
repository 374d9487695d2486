#include "choiceStore.h"
#include "fileReplace.h"
#include "localSettings.h"

#include <QDebug>

#include <memory>

storeOutcome storeChoice(const QString& settingsPath, const QString& osplPath, const QString& address,
                         const QString& adaptor, osplWalk walk)
{
    storeOutcome r;
    const QList<settingsEntry> entries{{QStringLiteral("bindAddress"), address}, {QStringLiteral("Adaptor"), adaptor}};
    r.settings = settingsAllowed(settingsPath, entries);
    if (!r.settings.ok()) {
        qDebug() << "Not writing" << settingsPath << ":" << r.settings.reason();
        return r;
    }
    // Held until the DDS configuration is done too: another copy storing its
    // own choice meanwhile would otherwise leave the two files disagreeing.
    const auto settings = std::make_unique<fileEdit>(settingsPath);
    r.settings = writeSettings(*settings, entries);
    if (r.settings.ok() && !osplPath.isEmpty())
        r.dds = updateOsplConfig(osplPath, address, walk);
    return r;
}
