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

bool writeProtected(const QString& target, QString* reason)
{
    const QFileInfo info(target);
    const QFileDevice::Permissions anyWrite =
        QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    // Root may write anywhere, but a file stripped of every write bit was
    // protected on purpose by whoever did it.
    if (info.exists() && !info.isDir() && !(info.permissions() & anyWrite)) {
        qDebug() << "Not writing" << target << ": the file is read-only";
        if (reason)
            *reason = QStringLiteral("the file is read-only");
        return true;
    }
    return false;
}

bool readWholeFile(const QString& path, QByteArray* data, bool* missing, QString* reason)
{
    data->clear();
    *missing = false;
    auto fail = [&](const QString& why) {
        qDebug() << "Can't read" << path << ":" << why;
        if (reason)
            *reason = why;
        data->clear();
        return false;
    };
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
        *missing = true;
        return true;
    }
    if (info.isDir())
        return fail(QStringLiteral("it is a folder"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    *data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return fail(file.errorString());
    return true;
}

fileEdit::fileEdit(const QString& path, int lockTimeoutMs)
    : path_(path), lock_(path, lockTimeoutMs)
{
    if (!lock_.held()) {
        reason_ = lock_.reason();
        return;
    }
    ready_ = readWholeFile(path_, &bytes_, &missing_, &reason_);
}

bool fileEdit::replace(const QByteArray& data)
{
    if (!ready_)
        return false;
    return replaceFile(path_, data, &reason_);
}
