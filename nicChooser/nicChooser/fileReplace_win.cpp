#include "debugLog.h"
#include "fileReplace.h"

#include <QCryptographicHash>
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

enum class opening { opened, missing, failed };

opening readTarget(const QString& target, QByteArray* data, QString* why)
{
    data->clear();
    const QFileInfo info(target);
    if (!info.exists() && !info.isSymLink())
        return opening::missing;
    if (info.isDir()) {
        *why = QStringLiteral("it is a folder");
        return opening::failed;
    }
    QFile file(target);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return opening::failed;
    }
    *why = tooLarge(file.size());
    if (!why->isEmpty())
        return opening::failed;
    *data = file.read(maxFileBytes + 1);
    *why = tooLarge(data->size());
    if (!why->isEmpty()) {
        data->clear();
        return opening::failed;
    }
    if (file.error() != QFileDevice::NoError) {
        *why = file.errorString();
        data->clear();
        return opening::failed;
    }
    return opening::opened;
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
HANDLE lockFolder(const QString& target, int timeoutMs, QString* why)
{
    const QString folder = QDir::cleanPath(QFileInfo(target).absolutePath()).toLower();
    const QByteArray key = QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Sha1).toHex();
    const QString name = QLatin1String("Local\\nicChooser-") + QString::fromLatin1(key);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t*>(name.utf16()));
    if (!mutex) {
        *why = QStringLiteral("its writer lock cannot be created (error %1)").arg(GetLastError());
        ncDebug() << "Can't create the writer lock for" << folder << ": error" << GetLastError();
        return nullptr;
    }
    const DWORD r = WaitForSingleObject(mutex, DWORD(timeoutMs));
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) {
        *why = QStringLiteral("another program held its lock for %1 seconds (another copy of nicChooser, perhaps)")
                   .arg(timeoutMs / 1000.0);
        ncDebug() << "Another writer holds" << folder << "; gave up after" << timeoutMs << "ms";
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

} // namespace

struct fileEditState {
    QString target;  // the file really written
    QString refusal; // why it may not be replaced; empty when it may
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

bool readWholeFile(const QString& path, QByteArray* data, bool* missing, QString* reason)
{
    QString why;
    *missing = false;
    switch (readTarget(writeTarget(path), data, &why)) {
    case opening::missing: *missing = true; return true;
    case opening::failed:
        ncDebug() << "Can't read" << path << ":" << why;
        if (reason)
            *reason = why;
        return false;
    case opening::opened: break;
    }
    return true;
}

fileEdit::fileEdit(const QString& path, bool mayCreate, int lockTimeoutMs, lockWaitHook)
    : path_(path), state_(new fileEditState)
{
    fileEditState& s = *state_;
    s.target = writeTarget(path);
    QString why;
    for (int look = 0; look < 2; ++look) {
        // First to refuse what could never be written before anyone is made
        // to wait, then, locked, to read what is there now.
        switch (readTarget(s.target, &bytes_, &why)) {
        case opening::failed:
            ncDebug() << "Can't read" << path << ":" << why;
            reason_ = why;
            unreadable_ = true;
            return;
        case opening::missing:
            missing_ = true;
            if (!mayCreate) {
                reason_ = QStringLiteral("it does not exist");
                return;
            }
            break;
        case opening::opened: missing_ = false; break;
        }
        // A copy that may not write makes no one wait; it still reads, to
        // tell whether anything needed writing at all.
        s.refusal = replaceRefusal(factsAbout(s.target));
        if (!s.refusal.isEmpty() || s.mutex)
            break;
        s.mutex = lockFolder(s.target, lockTimeoutMs, &reason_);
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
bool fileEdit::startOver()
{
    return false;
}

// QSaveFile writes a temporary file and moves it over the old one with
// MoveFileEx.
bool fileEdit::replace(const QByteArray& data)
{
    if (!ready_)
        return false;
    const QString& target = state_->target;
    auto refuse = [&](const QString& why) {
        ncDebug() << "Can't write" << path_ << ":" << why << "; the old file is untouched";
        reason_ = why;
        return false;
    };
    const QString refusal = state_->refusal.isEmpty() ? replaceRefusal(factsAbout(target)) : state_->refusal;
    if (!refusal.isEmpty())
        return refuse(refusal);
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return refuse(file.errorString());
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return refuse(file.errorString());
    }
    if (!file.commit())
        return refuse(file.errorString());
    return true;
}
