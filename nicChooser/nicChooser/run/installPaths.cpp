#include "installPaths.h"
#include "systemText.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
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

QString osplUriElsewhere(const QString& uri, const QString& path)
{
    const QString given = uri.trimmed();
    if (given.isEmpty())
        return QString();
    QString local = given;
    if (local.startsWith(QLatin1String("file://"), Qt::CaseInsensitive)) {
        local = local.mid(7);
        // file:///C:/site/... names C:/site/...
        static const QRegularExpression drive(QStringLiteral("^/[A-Za-z]:"));
        if (drive.match(local).hasMatch())
            local = local.mid(1);
    } else if (local.contains(QLatin1String("://"))) {
        return given; // not a file at all
    }
    const QFileInfo named(local), ours(path);
    // Through links and ".." as the system resolves them, when both exist.
    const QString a = named.canonicalFilePath(), b = ours.canonicalFilePath();
    const bool same = !a.isEmpty() && !b.isEmpty()
                          ? a == b
                          : QDir::cleanPath(named.absoluteFilePath())
                                    .compare(QDir::cleanPath(ours.absoluteFilePath()),
                                             QDir::separator() == QLatin1Char('\\') ? Qt::CaseInsensitive
                                                                                      : Qt::CaseSensitive)
                                == 0;
    return same ? QString() : given;
}
