#pragma once
// Text for the bytes the system hands out (paths, environment values,
// interface names, link texts) and back, on every platform by this one code.
//
// The system's names are bytes, usually UTF-8 but not always: a byte that is
// not part of valid UTF-8 is kept as the lone surrogate U+DC80..U+DCFF, so
// that the text turns back into exactly the bytes it came from.

#include <QByteArray>
#include <QString>

/// Text for bytes from the system (environment, paths): UTF-8, with each byte outside valid UTF-8 kept as the lone
/// surrogate U+DC80..U+DCFF, so that systemBytes() gives exactly these bytes back.
QString textFromSystem(const QByteArray& bytes);

/// The bytes of text for the system: UTF-8, each lone surrogate U+DC80..U+DCFF as its byte again (the inverse of
/// textFromSystem).
QByteArray systemBytes(const QString& text);

/// text as one line for a log, the status line or a message: every control character (C0, DEL, C1), line or
/// paragraph separator and bidirectional control as an escape (\n, \r, \t, \xHH, \uHHHH), and so every byte in the
/// C1 range that was not UTF-8 (see textFromSystem) as \xHH; tabs stay tabs when keepTabs. What comes from the file
/// system or the environment can then neither break a line nor forge one.
QString oneLine(const QString& text, bool keepTabs = false);

/// The value of environment variable name as text that turns back into its exact bytes where it meets the system (see
/// textFromSystem; on Windows the environment is UTF-16 already); null when it is not set, empty when set but empty.
QString environmentText(const char* name);
