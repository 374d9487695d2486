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

// The platforms the plug-ins in folder/platforms serve, as their metadata
// names them (read from the files; nothing is loaded).
QStringList platformsIn(const QString& folder)
{
    QStringList served;
    const QDir platforms(folder + QLatin1String("/platforms"));
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

// The first platform this run may start that no plug-in in folder serves;
// empty when every one is served.
QString platformMissing(const QString& folder)
{
    const QStringList served = platformsIn(folder);
    for (const QString& platform : platformsToStart())
        if (!served.contains(platform.toLower()))
            return platform;
    return QString();
}

} // namespace

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
    const QString root = environmentValue("CC_ROOT");
    const QString system = environmentValue("CC_SYSTEM");
    // Empty counts as missing: "" would turn the folder into a path from the
    // top of the file system.
    if (root.isEmpty() || system.isEmpty())
        return QString(); // the dialog tells the operator
    const QString folder = pluginFolderPath(root, system);
    auto keepDefaults = [&folder](const QString& why) {
        ncDebug().noquote() << "Plug-in folder" << QLatin1Char('"') + oneLine(folder) + QLatin1Char('"') << oneLine(why)
                            << "; keeping the toolkit's default library paths";
        return QString();
    };
    QString resolved;
    const QString untrusted = untrustedCodeFolder(folder, &resolved);
    if (!untrusted.isEmpty())
        return keepDefaults(untrusted.endsWith(QLatin1String("does not exist"))
                                ? untrusted
                                : QStringLiteral("is not used: ") + untrusted);
    const QString missing = platformMissing(resolved);
    if (!missing.isEmpty())
        return keepDefaults(QStringLiteral("holds no platform plug-in for %1, which this run may start").arg(missing));
    // What was checked, not the path again: a link on the way could lead
    // elsewhere by the time the toolkit looks.
    QCoreApplication::setLibraryPaths(QStringList{resolved});
    return resolved;
}
