#include "fileReplace.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <windows.h>

// QSaveFile writes a temporary file and moves it over the old one with
// MoveFileEx; a replaced file takes the folder's inherited security, as the
// profile functions' files do, so there is no owner to hand back.
bool replaceFile(const QString& path, const QByteArray& data, QString* reason)
{
    const QString target = writeTarget(path);
    if (writeProtected(target, reason))
        return false;
    QSaveFile file(target);
    auto fail = [&] {
        qDebug() << "Can't write" << target << ":" << file.errorString();
        if (reason)
            *reason = file.errorString();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail();
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return fail();
    }
    if (!file.commit())
        return fail();
    return true;
}

// A named mutex per folder: the system releases it (as abandoned) when its
// owner dies, so a killed writer cannot block the next one.
writerLock::writerLock(const QString& path, int timeoutMs)
{
    const QString folder = QDir::cleanPath(QFileInfo(writeTarget(path)).absolutePath()).toLower();
    const QByteArray key = QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Sha1).toHex();
    const QString name = QLatin1String("Local\\nicChooser-") + QString::fromLatin1(key);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t*>(name.utf16()));
    if (!mutex) {
        reason_ = QStringLiteral("its writer lock cannot be created (error %1)").arg(GetLastError());
        qDebug() << "Can't create the writer lock for" << folder << ": error" << GetLastError();
        return;
    }
    const DWORD r = WaitForSingleObject(mutex, DWORD(timeoutMs));
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) {
        reason_ = QStringLiteral("another copy of nicChooser kept it locked for %1 seconds").arg(timeoutMs / 1000);
        qDebug() << "Another writer holds" << folder << "; gave up after" << timeoutMs << "ms";
        CloseHandle(mutex);
        return;
    }
    handle_ = reinterpret_cast<std::intptr_t>(mutex);
    held_ = true;
}

writerLock::~writerLock()
{
    if (!held_)
        return;
    HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}
