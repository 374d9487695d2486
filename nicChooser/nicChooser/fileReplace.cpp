#include "fileReplace.h"
#include "fileOwner.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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

bool replaceFile(const QString& path, const QByteArray& data)
{
    const QFileInfo old(path);
    const bool existed = old.exists();
    const QFileDevice::Permissions anyWrite =
        QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    // Root may write anywhere, but a file stripped of every write bit was
    // protected on purpose by whoever did it.
    if (existed && !old.isDir() && !(old.permissions() & anyWrite)) {
        qDebug() << "Not writing" << path << ": the file is read-only";
        return false;
    }
    const fileOwner owner = existed ? ownerOf(path) : fileOwner();

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qDebug() << "Can't write" << path << ":" << file.errorString();
        return false;
    }
    if (file.write(data) != data.size()) {
        qDebug() << "Can't write" << path << ":" << file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        qDebug() << "Can't write" << path << ":" << file.errorString();
        return false;
    }
    if (existed)
        restoreOwner(path, owner);
    return true;
}
