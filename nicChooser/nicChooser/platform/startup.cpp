#include "startup.h"
#include "debugLog.h"
#include "installPaths.h"
#include "systemText.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibrary>
#include <QPluginLoader>
#include <QtGui/qtgui-config.h>

namespace {

const char platformInterface[] = "org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3";

// Whether a plug-in in folder serves every platform this run may start:
// done, or missing naming the first one none serves.
outcome platformsPresent(const QString& folder)
{
    const QStringList served = platformPluginsIn(folder + QLatin1String("/platforms"));
    for (const QString& platform : platformsToStart())
        if (!served.contains(platform.toLower()))
            return {outcome::missing,
                    QStringLiteral("holds no platform plug-in for %1, which this run may start").arg(platform)};
    return outcome::done;
}

} // namespace

QStringList platformPluginsIn(const QString& folder)
{
    QStringList served;
    const QDir platforms(folder);
    for (const QString& name : platforms.entryList(QDir::Files)) {
        if (!QLibrary::isLibrary(name))
            continue;
        const QJsonObject meta = QPluginLoader(platforms.filePath(name)).metaData();
        if (meta.value(QLatin1String("IID")).toString() != QLatin1String(platformInterface))
            continue;
        for (const QJsonValue key :
             meta.value(QLatin1String("MetaData")).toObject().value(QLatin1String("Keys")).toArray())
            served << key.toString().toLower();
    }
    return served;
}

QStringList platformsToStart()
{
    QStringList platforms;
    for (const QString& entry : qEnvironmentVariable("QT_QPA_PLATFORM").split(QLatin1Char(';'), Qt::SkipEmptyParts))
        platforms << entry.section(QLatin1Char(':'), 0, 0); // "name:options"
    if (platforms.isEmpty())
        platforms << QStringLiteral(QT_QPA_DEFAULT_PLATFORM_NAME);
    return platforms;
}

QString useInstallationPlugins()
{
    const QString root = environmentText("CC_ROOT");
    const QString system = environmentText("CC_SYSTEM");
    // Empty counts as missing: "" would turn the folder into a path from the
    // top of the file system.
    if (root.isEmpty() || system.isEmpty())
        return QString(); // the dialog tells the operator
    const QString folder = pluginFolderPath(root, system);
    QString resolved;
    outcome usable = trustedCodeFolder(folder, &resolved);
    if (usable.ok())
        usable = platformsPresent(resolved);
    if (!usable.ok()) {
        ncDebug().noquote() << "Plug-in folder" << QLatin1Char('"') + oneLine(folder) + QLatin1Char('"')
                           << oneLine(usable == outcome::missing ? usable.reason()
                                                                 : QStringLiteral("is not used: ") + usable.reason())
                           << "; keeping the toolkit's default library paths";
        return QString();
    }
    // What was checked, not the path again: a link on the way could lead
    // elsewhere by the time the toolkit looks.
    QCoreApplication::setLibraryPaths(QStringList{resolved});
    return resolved;
}
