#include "installPaths.h"
#include "fileReplace.h"

#include <QByteArray>
#include <QDir>
#include <QStringList>

namespace {

// Joined by hand rather than through a format template so that a folder name
// holding "%1" or similar is taken literally.
QString joined(const QStringList& parts)
{
    return parts.join(QDir::separator());
}

} // namespace

QString pluginFolderPath(const QString& root, const QString& system)
{
    return joined({root, system, QStringLiteral("windows"), QStringLiteral("lib")});
}

QString localSettingsPath(const QString& root)
{
    return joined({root, QStringLiteral("local_settings.ini")});
}

QString osplConfigPath(const QString& root, const QString& system)
{
    return joined({root, system, QStringLiteral("config"), QStringLiteral("dds"), QStringLiteral("ospl.xml")});
}

QString environmentValue(const char* name)
{
    if (!qEnvironmentVariableIsSet(name))
        return QString();
    // As the bytes the environment holds, so that a folder named in another
    // encoding is still found.
    const QString value = environmentText(name);
    // Keep "set but empty" distinguishable from "not set".
    return value.isNull() ? QString(QLatin1String("")) : value;
}
