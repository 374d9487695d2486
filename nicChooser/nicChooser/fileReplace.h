#pragma once
// Whole-file reads and all-or-nothing replacement, shared by both writers.

#include <QByteArray>
#include <QString>

/// Reads the whole file at path into *data. False, with a debug line, when it
/// exists but cannot be read in full (a folder, no rights, an I/O error);
/// *missing tells a file that simply is not there (data then empty).
bool readWholeFile(const QString& path, QByteArray* data, bool* missing);

/// Replaces the file at path with data, or creates it: written in full to a
/// temporary file in the same folder, then renamed over the old one. A
/// symbolic link is written through to its target; permissions and owner are
/// kept. A file with no write permission at all is left alone, even for root.
/// False, with a debug line naming the problem, when the old file is untouched.
bool replaceFile(const QString& path, const QByteArray& data);
