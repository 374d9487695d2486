#include "startup.h"
#include "installPaths.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

QString useInstallationPlugins()
{
    const QString root = environmentValue("CC_ROOT");
    const QString system = environmentValue("CC_SYSTEM");
    // Empty counts as missing: "" would turn the folder into a path from the
    // top of the file system.
    if (root.isEmpty() || system.isEmpty())
        return QString(); // the dialog tells the operator
    const QString folder = pluginFolderPath(root, system);
    // With a search list that holds no platform plug-in the toolkit aborts
    // before anything can be shown, so a missing folder keeps the defaults.
    if (!QFileInfo(folder).isDir()) {
        qDebug() << "Plug-in folder" << folder << "does not exist; keeping the toolkit's default library paths";
        return QString();
    }
    QCoreApplication::setLibraryPaths(QStringList{folder});
    return folder;
}
