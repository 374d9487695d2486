#include "startup.h"
#include "installPaths.h"
#include "systemText.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

namespace {

// Whether folder holds a platform plug-in this system can load.
bool hasPlatformPlugin(const QString& folder)
{
    const QDir platforms(folder + QLatin1String("/platforms"));
    for (const QString& name : platforms.entryList(QDir::Files))
        if (QLibrary::isLibrary(name))
            return true;
    return false;
}

} // namespace

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
        qDebug().noquote() << "Plug-in folder" << QLatin1Char('"') + oneLine(folder) + QLatin1Char('"') << oneLine(why)
                           << "; keeping the toolkit's default library paths";
        return QString();
    };
    if (!QFileInfo(folder).isDir())
        return keepDefaults(QStringLiteral("does not exist"));
    if (!hasPlatformPlugin(folder))
        return keepDefaults(QStringLiteral("holds no platform plug-in for this system"));
    const QString untrusted = untrustedCodeFolder(folder);
    if (!untrusted.isEmpty())
        return keepDefaults(QStringLiteral("is not used: ") + untrusted);
    QCoreApplication::setLibraryPaths(QStringList{folder});
    return folder;
}
