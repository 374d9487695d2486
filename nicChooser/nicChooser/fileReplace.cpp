#include "fileReplace.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

QString writeTarget(const QString& path)
{
    QFileInfo info(path);
    // A bounded walk: a loop of links must not hang the writer.
    for (int hops = 0; info.isSymLink() && hops < 40; ++hops)
        info.setFile(info.symLinkTarget());
    return info.filePath();
}

QString leftoverName(const QString& target)
{
    const QFileInfo info(target);
    return info.path() + QLatin1String("/.") + info.fileName() + QLatin1String(".nicChooser-new");
}

bool writeProtected(const QString& target)
{
    const QFileInfo info(target);
    const QFileDevice::Permissions anyWrite =
        QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    // Root may write anywhere, but a file stripped of every write bit was
    // protected on purpose by whoever did it.
    if (info.exists() && !info.isDir() && !(info.permissions() & anyWrite)) {
        qDebug() << "Not writing" << target << ": the file is read-only";
        return true;
    }
    return false;
}

bool readWholeFile(const QString& path, QByteArray* data, bool* missing)
{
    data->clear();
    *missing = false;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
        *missing = true;
        return true;
    }
    if (info.isDir()) {
        qDebug() << "Can't read" << path << ": it is a folder";
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "Can't read" << path << ":" << file.errorString();
        return false;
    }
    *data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        qDebug() << "Can't read" << path << ":" << file.errorString();
        data->clear();
        return false;
    }
    return true;
}
