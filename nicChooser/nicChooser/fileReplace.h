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

/// Reads the whole file at path into *data. False, with a debug line, when it
/// exists but cannot be read in full (a folder, no rights, an I/O error);
/// *missing tells a file that simply is not there (data then empty).
bool readWholeFile(const QString& path, QByteArray* data, bool* missing);

/// Replaces the file at path with data, or creates it; links are written
/// through to their target, and permissions and owner are kept. A file with no
/// write permission at all is left alone, even for root. False, with a debug
/// line naming the problem, when the old file is untouched. Call it holding a
/// writerLock on path; it cleans up what an earlier, killed writer left.
bool replaceFile(const QString& path, const QByteArray& data);

/// True, with a debug line, when target exists and has no write permission at all: protected on purpose, so not replaced.
bool writeProtected(const QString& target);

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

private:
    std::intptr_t handle_ = -1;
    bool held_ = false;
};
