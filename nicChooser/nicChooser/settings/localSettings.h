#pragma once
// The installation's local settings file, read and written by the rules of
// the Windows profile-string functions, on every platform by this one code.
//
// Encoding: see settingsEncoding.h; the rules below are about its text.
//
// Lines end in LF, CRLF or a lone CR; a run of CRs before an LF is one line
// ending (text mode turns its CRLF into LF, and the CRs left are blanks).
// Nothing from the first DOS end-of-file byte (0x1A) on is read.
//
// Reading: section and key names compare case-insensitively (ASCII); the
// first section with the name is used, and in it the first key. Blanks
// (space, tab, vertical tab, form feed) around names and values are ignored;
// a value of two or more characters that starts and ends with the same
// quote (" or ') loses those two. A line starting with ';' is a comment. A
// header runs from its '[' to the LAST ']' on its line, so "[a] ; [b]" names
// section "a] ; [b"; a '[' line without ']' is no header.
//
// Writing leaves a key that already reads as the value as it is written (any
// spelling, blanks or quotes), so a file that holds the choice is not
// rewritten at all; otherwise it changes the key's line and nothing else:
// every other byte, line ending, the byte-order mark, a missing final
// newline and everything from an end-of-file byte on stay as they were. A
// line added (a key, or a header and a key) goes after the section's last
// non-blank line, or at the end of the text before any end-of-file byte, and
// ends as the line it follows does; after a last line without an ending it
// takes the nearest earlier line's ending, or CRLF. A value that reading
// would change (blanks at either end, a matching pair of quotes around it)
// is written in double quotes, so it reads back exactly as given. A key or
// value holding a line break, NUL or end-of-file byte, and a key no reader
// would find again, are refused.

#include "outcome.h"
#include "settingsEncoding.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

/// The section this tool owns.
extern const char* const settingsSection; // "xDS"

/// Longest value read, in bytes; a longer value is cut (at a character boundary).
constexpr int maxSettingsValueBytes = 255;

/// Value of key in section xDS of the file at path, as UTF-8; empty when the file, section or key is missing, or the
/// file cannot be read or decoded.
QString readSetting(const QString& path, const QString& key);

/// The values of keys in section xDS of the file at path, in order, read at once into *values: done; missing when there
/// is no file (values empty); unreadable, tooLarge or malformed, values all empty, when it cannot be read or decoded.
outcome readSettings(const QString& path, const QStringList& keys, QStringList* values);

/// A key of section xDS and the value to give it.
using settingsEntry = QPair<QString, QString>;

/// Sets every entry in section xDS of the file at path in one replacement (one lock, one read, one rename), creating
/// file, section or keys as needed: done; unchanged when it held them all already (not touched); anything else leaves
/// the file untouched, with a debug line.
outcome writeSettings(const QString& path, const QList<settingsEntry>& entries);

class fileEdit;

/// Whether entries can go into a settings file whatever it holds: refused for an entry that would break lines; done
/// when they may.
outcome settingsAllowed(const QList<settingsEntry>& entries);

/// writeSettings within an edit already under way (its lock held by the caller, who may go on to edit another file
/// under it).
outcome writeSettings(fileEdit& file, const QList<settingsEntry>& entries);

/// writeSettings with the one entry key=value; true when the file holds it.
bool writeSetting(const QString& path, const QString& key, const QString& value);

namespace ini {

/// The value of key in the first section named section of the text (lines of bytes); null when absent.
QByteArray value(const QByteArray& text, const QByteArray& section, const QByteArray& key);

/// text with key in section set to value (quoted where reading would change it): only the key's line changes, or one
/// line (and a header) is added.
QByteArray withValue(const QByteArray& text, const QByteArray& section, const QByteArray& key, const QByteArray& value);

/// text with every entry set in section, one after the other.
QByteArray withValues(const QByteArray& text, const QByteArray& section,
                      const QList<QPair<QByteArray, QByteArray>>& entries);

/// Whether key=value can be written without adding, breaking or hiding lines, or being lost: done, or refused with why.
outcome entryAllowed(const QByteArray& key, const QByteArray& value);

/// entryAllowed over every entry: done, or refused with why the first unsafe one cannot be written, naming its key.
outcome entriesAllowed(const QList<QPair<QByteArray, QByteArray>>& entries);

/// The file's bytes with every entry set in section, kept in the file's own encoding, in *out: done; malformed when the
/// file cannot be worked on; refused when an entry cannot be written to it.
outcome fileWithValues(const QByteArray& file, const QByteArray& section,
                       const QList<QPair<QByteArray, QByteArray>>& entries, QByteArray* out);

} // namespace ini
