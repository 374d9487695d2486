#pragma once
// The installation's local settings file, read and written by the rules of
// the Windows profile-string functions, on every platform by this one code.
//
// Reading: section and key names compare case-insensitively (ASCII); the
// first section with the name is used, and in it the first key. Spaces and
// tabs around names and values are ignored; a value in one matching pair of
// double or single quotes is unwrapped. A line starting with ';' is a
// comment; text after a header's ']' is ignored; a '[' line without ']' is
// no header. Lines end in CRLF, LF or a lone CR; a UTF-8 byte-order mark is
// not part of the text. A UTF-16 file is neither read nor written.
//
// Writing changes the key's line and nothing else: every other byte, line
// ending, the byte-order mark and a missing final newline stay as they were.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

/// The section this tool owns.
extern const char* const settingsSection; // "xDS"

/// Longest value read, in bytes; a longer value is cut (at a character boundary).
constexpr int maxSettingsValueBytes = 255;

/// Value of key in section xDS of the file at path, as UTF-8; empty when the file, section or key is missing or the path is longer than the platform takes (maxPathBytes).
QString readSetting(const QString& path, const QString& key);

/// A key of section xDS and the value to give it.
using settingsEntry = QPair<QString, QString>;

/// What became of a settings write.
enum class settingsResult {
    written,   ///< the file now holds every entry
    unchanged, ///< it held them all already; not touched
    failed,    ///< refused or could not be written; the file is untouched
};

/// Sets every entry in section xDS of the file at path in one replacement (one lock, one read, one rename), creating file, section or keys as needed; on failure a debug line, and *reason in plain words.
settingsResult writeSettings(const QString& path, const QList<settingsEntry>& entries, QString* reason = nullptr);

/// writeSettings with the one entry key=value; true when the file holds it.
bool writeSetting(const QString& path, const QString& key, const QString& value);

namespace ini {

/// The value of key in the first section named section; null when absent.
QByteArray value(const QByteArray& text, const QByteArray& section, const QByteArray& key);

/// text with key in section set to value: only the key's line changes, or one line (and a header) is added.
QByteArray withValue(const QByteArray& text, const QByteArray& section, const QByteArray& key, const QByteArray& value);

/// text with every entry set in section, one after the other.
QByteArray withValues(const QByteArray& text, const QByteArray& section, const QList<QPair<QByteArray, QByteArray>>& entries);

/// Why key=value cannot be written without adding or breaking lines; empty when it can.
QString unsafeEntry(const QByteArray& key, const QByteArray& value);

} // namespace ini
