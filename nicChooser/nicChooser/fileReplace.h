#pragma once
// Whole-file reads and all-or-nothing replacement, shared by both writers.
//
// A writer takes the folder's writer lock, reads the file, computes the new
// bytes and replaces the file before letting go, so two copies of the tool
// running at once cannot undo each other's edit. Half-written files never
// take the old file's place: the new bytes go to a temporary file beside it
// that is renamed over the old one only when complete.

#include <QByteArray>
#include <QString>

#include <cstdint>

/// The file a write to path really changes: the end of a chain of symbolic links, or path itself.
QString writeTarget(const QString& path);

/// Reads the whole file at path into *data. False, with a debug line and
/// *reason in plain words, when it exists but cannot be read in full (a
/// folder, no rights, an I/O error); *missing tells a file that simply is not
/// there (data then empty).
bool readWholeFile(const QString& path, QByteArray* data, bool* missing, QString* reason = nullptr);

/// Replaces the file at path with data, or creates it; links are written
/// through to their target, and permissions and owner are kept. A file with no
/// write permission at all is left alone, even for root. False, with a debug
/// line naming the problem, when the old file is untouched. Call it holding a
/// writerLock on path; it cleans up what an earlier, killed writer left.
bool replaceFile(const QString& path, const QByteArray& data, QString* reason = nullptr);

/// True, with a debug line, when target exists and has no write permission at all: protected on purpose, so not replaced.
bool writeProtected(const QString& target, QString* reason = nullptr);

/// The name of the temporary file replaceFile may leave beside target if killed at the wrong moment.
QString leftoverName(const QString& target);

/// Exclusive among this tool's writers on the folder of path's write target;
/// released on destruction, and by the system when the process dies. Waits
/// up to timeoutMs for another writer; held() is false (with a debug line)
/// when it could not be taken.
class writerLock {
public:
    explicit writerLock(const QString& path, int timeoutMs = 10000);
    ~writerLock();
    writerLock(const writerLock&) = delete;
    writerLock& operator=(const writerLock&) = delete;
    bool held() const { return held_; }
    /// Why the lock could not be taken, in plain words; empty when held.
    const QString& reason() const { return reason_; }

private:
    QString reason_;
    std::intptr_t handle_ = -1;
    bool held_ = false;
};

/// One read-modify-replace of a file, as both writers do it: takes the writer
/// lock, reads the file, and keeps the lock until destroyed, so that replace()
/// swaps in bytes computed from exactly what was read.
class fileEdit {
public:
    explicit fileEdit(const QString& path, int lockTimeoutMs = 10000);
    fileEdit(const fileEdit&) = delete;
    fileEdit& operator=(const fileEdit&) = delete;

    /// Locked and read (or found missing); otherwise reason() says why not.
    bool ready() const { return ready_; }
    /// The writer lock is held (ready() may still fail at the read).
    bool locked() const { return lock_.held(); }
    /// No file there yet: bytes() is empty and replace() creates it.
    bool missing() const { return missing_; }
    const QByteArray& bytes() const { return bytes_; }
    /// Replaces the file with data (see replaceFile); false with reason().
    bool replace(const QByteArray& data);
    /// Why the last step failed, in plain words for the operator.
    const QString& reason() const { return reason_; }

private:
    QString path_;
    writerLock lock_;
    QByteArray bytes_;
    QString reason_;
    bool ready_ = false;
    bool missing_ = false;
};
