#include "startup.h"
#include "binaryImage.h"
#include "debugLog.h"
#include "installPaths.h"
#include "modulePath.h"
#include "systemText.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibrary>
#include <QLibraryInfo>
#include <QPluginLoader>
#include <QVersionNumber>
#include <QtGui/qtgui-config.h>

namespace {

const char platformInterface[] = "org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3";

// Beyond any real plug-in: a larger file is not read to be judged.
const qint64 maxLibraryBytes = 256 * 1024 * 1024;

QByteArray headOf(const QString& path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(limit);
}

// The running program's own headers, the measure of what it can load.
const binaryImage& ownImage()
{
    static const binaryImage own = readBinaryImage(headOf(modulePath(), 1024 * 1024));
    return own;
}

int runningToolkit()
{
    const QVersionNumber v = QLibraryInfo::version();
    return QT_VERSION_CHECK(v.majorVersion(), v.minorVersion(), v.microVersion());
}

// Whether this program can load the library at path, whose metadata is
// meta: done, or unsupported saying why.
outcome loadable(const QString& path, const QJsonObject& meta)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {outcome::unsupported, QStringLiteral("cannot be read: ") + file.errorString()};
    if (file.size() > maxLibraryBytes)
        return {outcome::unsupported, QStringLiteral("is larger than any plug-in")};
    const binaryImage image = readBinaryImage(file.readAll());
    outcome fit = sameMachine(image, ownImage());
    if (fit.ok() && meta.value(QLatin1String("IID")).toString() == QLatin1String(platformInterface))
        fit = sameToolkitSeries(meta.value(QLatin1String("version")).toInt(), runningToolkit());
    if (fit.ok() && !image.neededRead)
        fit = {outcome::unsupported, QStringLiteral("names the libraries it needs in a way that cannot be read")};
    if (fit.ok())
        fit = toolkitLibrariesFound(image.needed, toolkitLibraryFound);
    return fit;
}

// The platforms the plug-ins in folder serve, into *served; with strict, the
// first library there this program cannot load ends it, unsupported saying
// why (the toolkit reads every one of them and may choose any); without, such
// a library serves nothing.
outcome platformsIn(const QString& folder, QStringList* served, bool strict)
{
    const QDir platforms(folder);
    for (const QString& name : platforms.entryList(QDir::Files, QDir::Name)) {
        if (!QLibrary::isLibrary(name))
            continue;
        const QString path = platforms.filePath(name);
        const QJsonObject meta = QPluginLoader(path).metaData();
        const outcome fit = loadable(path, meta);
        if (!fit.ok()) {
            if (strict)
                return {outcome::unsupported,
                        QStringLiteral("holds a plug-in this program cannot load: platforms/%1 %2")
                            .arg(name, fit.reason())};
            continue;
        }
        if (meta.value(QLatin1String("IID")).toString() != QLatin1String(platformInterface))
            continue;
        for (const QJsonValue key :
             meta.value(QLatin1String("MetaData")).toObject().value(QLatin1String("Keys")).toArray())
            *served << key.toString().toLower();
    }
    return outcome::done;
}

// Whether the plug-ins in folder can all be loaded and serve every platform
// this run may start: done, or missing naming the first one none serves, or
// unsupported naming the plug-in that cannot be loaded.
outcome platformsPresent(const QString& folder)
{
    QStringList served;
    const outcome loads = platformsIn(folder + QLatin1String("/platforms"), &served, true);
    if (!loads.ok())
        return loads;
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
    platformsIn(folder, &served, false);
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
        releaseCheckedFolder();
        ncDebug().noquote() << "Plug-in folder" << QLatin1Char('"') + oneLine(folder) + QLatin1Char('"')
                           << oneLine(usable == outcome::missing || usable == outcome::unsupported ? usable.reason()
                                                                 : QStringLiteral("is not used: ") + usable.reason())
                           << "; keeping the toolkit's default library paths";
        return QString();
    }
    // What was checked, not the path again: a link on the way could lead
    // elsewhere by the time the toolkit looks.
    QCoreApplication::setLibraryPaths(QStringList{resolved});
    return resolved;
}
