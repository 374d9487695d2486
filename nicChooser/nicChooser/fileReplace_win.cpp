#include "fileReplace.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <windows.h>

namespace {

// The file a write to path really changes: the end of a chain of symbolic
// links (which the system reports as absolute paths), or path itself.
QString writeTarget(const QString& path)
{
    QFileInfo info(path);
    // A bounded walk: a loop of links must not hang the writer.
    for (int hops = 0; info.isSymLink() && hops < 40; ++hops)
        info.setFile(info.symLinkTarget());
    return info.filePath();
}

outcome readTarget(const QString& target, QByteArray* data)
{
    data->clear();
    const QFileInfo info(target);
    if (!info.exists() && !info.isSymLink())
        return {outcome::missing, QStringLiteral("it does not exist")};
    if (info.isDir())
        return {outcome::unreadable, QStringLiteral("it is a folder")};
    QFile file(target);
    if (!file.open(QIODevice::ReadOnly))
        return {outcome::unreadable, file.errorString()};
    const outcome small = sizeAllowed(file.size());
    if (!small.ok())
        return small;
    *data = file.read(maxFileBytes + 1);
    const outcome still = sizeAllowed(data->size());
    if (!still.ok()) {
        data->clear();
        return still;
    }
    if (file.error() != QFileDevice::NoError) {
        data->clear();
        return {outcome::unreadable, file.errorString()};
    }
    return outcome::done;
}

replaceFacts factsAbout(const QString& target)
{
    const QFileInfo info(target);
    replaceFacts facts;
    facts.exists = info.exists();
    if (facts.exists) {
        const QFileDevice::Permissions anyWrite =
            QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
        facts.anyWriteBit = (info.permissions() & anyWrite) != 0;
        facts.mayWriteFile = info.isWritable();
    }
    // A replaced file takes the folder's inherited security, as the profile
    // functions' files do, so there is no owner to keep; the folder's rights
    // show when the new file is made.
    return facts;
}

// A named mutex per folder: the system releases it (as abandoned) when its
// owner dies, so a killed writer cannot block the next one.
HANDLE lockFolder(const QString& target, int timeoutMs, outcome* why)
{
    const QString folder = QDir::cleanPath(QFileInfo(target).absolutePath()).toLower();
    const QByteArray key = QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Sha1).toHex();
    const QString name = QLatin1String("Local\\nicChooser-") + QString::fromLatin1(key);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t*>(name.utf16()));
    if (!mutex) {
        *why = {outcome::failed, QStringLiteral("its writer lock cannot be created (error %1)").arg(GetLastError())};
        qDebug() << "Can't create the writer lock for" << folder << ": error" << GetLastError();
        return nullptr;
    }
    const DWORD r = WaitForSingleObject(mutex, DWORD(timeoutMs));
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) {
        *why = {outcome::failed,
                QStringLiteral("another program held its lock for %1 seconds (another copy of nicChooser, perhaps)")
                    .arg(timeoutMs / 1000.0)};
        qDebug() << "Another writer holds" << folder << "; gave up after" << timeoutMs << "ms";
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

} // namespace

struct fileEditState {
    QString target;      // the file really written
    outcome replaceable; // whether it may be replaced
    HANDLE mutex = nullptr;
};

int maxPathBytes()
{
    return MAX_PATH - 1;
}

QString environmentText(const char* name)
{
    // The system keeps the environment in UTF-16, which the toolkit takes as it is.
    if (!qEnvironmentVariableIsSet(name))
        return QString();
    return qEnvironmentVariable(name);
}

outcome readWholeFile(const QString& path, QByteArray* data)
{
    const outcome read = readTarget(writeTarget(path), data);
    if (!read.ok() && read != outcome::missing)
        qDebug() << "Can't read" << path << ":" << read.reason();
    return read;
}

fileEdit::fileEdit(const QString& path, bool mayCreate, int lockTimeoutMs, lockWaitHook)
    : path_(path), state_(new fileEditState)
{
    fileEditState& s = *state_;
    s.target = writeTarget(path);
    for (int look = 0; look < 2; ++look) {
        // First to refuse what could never be written before anyone is made
        // to wait, then, locked, to read what is there now.
        result_ = readTarget(s.target, &bytes_);
        missing_ = result_ == outcome::missing;
        if (missing_ && mayCreate)
            result_ = outcome::done;
        if (!result_.ok()) {
            if (!missing_)
                qDebug() << "Can't read" << path << ":" << result_.reason();
            return;
        }
        // A copy that may not write makes no one wait; it still reads, to
        // tell whether anything needed writing at all.
        s.replaceable = mayReplace(factsAbout(s.target));
        if (!s.replaceable.ok() || s.mutex)
            break;
        s.mutex = lockFolder(s.target, lockTimeoutMs, &result_);
        if (!s.mutex)
            return;
    }
    ready_ = true;
}

fileEdit::~fileEdit()
{
    if (state_->mutex) {
        ReleaseMutex(state_->mutex);
        CloseHandle(state_->mutex);
    }
}

// The folder's mutex is held from the start, so no other writer of ours can
// have made the file meanwhile.
outcome fileEdit::startOver()
{
    return result_;
}

// QSaveFile writes a temporary file and moves it over the old one with
// MoveFileEx.
outcome fileEdit::replace(const QByteArray& data)
{
    if (!ready_)
        return result_;
    const QString& target = state_->target;
    result_ = state_->replaceable.ok() ? mayReplace(factsAbout(target)) : state_->replaceable;
    QSaveFile file(target);
    if (result_.ok() && !file.open(QIODevice::WriteOnly))
        result_ = {outcome::failed, file.errorString()};
    if (result_.ok() && file.write(data) != data.size()) {
        file.cancelWriting();
        result_ = {outcome::failed, file.errorString()};
    }
    if (result_.ok() && !file.commit())
        result_ = {outcome::failed, file.errorString()};
    if (!result_.ok())
        qDebug() << "Can't write" << path_ << ":" << result_.reason() << "; the old file is untouched";
    return result_;
}
