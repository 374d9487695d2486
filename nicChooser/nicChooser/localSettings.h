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
#include <QString>

/// The section this tool owns.
extern const char* const settingsSection; // "xDS"

/// Longest settings path in bytes; a longer one is refused, never cut.
constexpr int maxSettingsPathBytes = 259;

/// Longest value read, in bytes; a longer value is cut (at a character boundary).
constexpr int maxSettingsValueBytes = 255;

/// Value of key in section xDS of the file at path, as UTF-8; empty when the file, section or key is missing or the path is too long.
QString readSetting(const QString& path, const QString& key);

/// Sets key to value in section xDS of the file at path, creating file, section or key as needed, replacing the file atomically; false with a debug line when it refused or could not write (the file is then untouched).
bool writeSetting(const QString& path, const QString& key, const QString& value);

namespace ini {

/// The value of key in the first section named section; null when absent.
QByteArray value(const QByteArray& text, const QByteArray& section, const QByteArray& key);

/// text with key in section set to value: only the key's line changes, or one line (and a header) is added.
QByteArray withValue(const QByteArray& text, const QByteArray& section, const QByteArray& key, const QByteArray& value);

/// Why key=value cannot be written without adding or breaking lines; empty when it can.
QString unsafeEntry(const QByteArray& key, const QByteArray& value);

} // namespace ini
