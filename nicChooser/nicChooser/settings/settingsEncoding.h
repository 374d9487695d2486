#pragma once
// How the settings file keeps its text. A file starting with FF FE is UTF-16
// little-endian, FE FF big-endian; any other file is lines of bytes (ANSI or
// UTF-8), a UTF-8 byte-order mark not being part of the text. A UTF-16 file
// is worked on as UTF-8 and written back in its own encoding with its mark;
// one that would not encode back to exactly its own bytes (an odd byte
// count, an unpaired surrogate) is neither read nor written, and neither is
// UTF-16 without a mark (ASCII beside zero bytes) or UTF-32 (whose
// little-endian mark starts as UTF-16's does).

#include "outcome.h"

#include <QByteArray>

namespace ini {

/// How a settings file keeps its text.
enum class encoding {
    bytes,   ///< lines of bytes: ANSI, or UTF-8 with or without a mark
    utf16le, ///< UTF-16 after the mark FF FE
    utf16be, ///< UTF-16 after the mark FE FF
};

/// A file's text as value() and withValue() take it.
struct decodedFile {
    encoding kind = encoding::bytes;
    QByteArray text;  ///< the bytes themselves, or the UTF-16 as UTF-8 (its mark as EF BB BF)
    outcome readable; ///< done, or malformed with why the file cannot be worked on
};

/// The text of a settings file's bytes; a UTF-16 file whose text would not encode back to exactly these bytes, UTF-16
/// without a mark and UTF-32 are malformed.
decodedFile decode(const QByteArray& file);

/// text (from decode, perhaps edited) as the bytes of a file of the given kind.
QByteArray encode(const QByteArray& text, encoding kind);

/// Whether bytes are all valid UTF-8.
bool isUtf8(const QByteArray& bytes);

} // namespace ini
