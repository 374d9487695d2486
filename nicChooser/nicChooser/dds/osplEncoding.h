#pragma once
// What a DDS configuration's bytes and characters are: the encoding its
// first bytes and its declaration show, what that encoding can hold, and
// the markers the document holds in place of what the toolkit's DOM would
// otherwise write wrongly. Used by the reader, the writer and the update
// alike; nothing here touches a file.

#include <QChar>
#include <QString>
#include <QStringRef>
#include <QTextCodec>

class QByteArray;
class QDomDocument;

namespace osplEncoding {

/// Whether text holds a C0 control character other than tab, line feed and carriage return: XML 1.0 allows none, yet
/// the streaming reader lets some through in names. With none left anywhere in the document, the two markers below
/// cannot be mistaken for anything the file holds.
bool hasControl(const QChar* text, int size);
bool hasControl(const QStringRef& text);

/// The DOM keeps attributes in a hash, so it writes them in an order that changes from process to process. Elements
/// with more than one attribute get a single attribute named attributeMarker + N instead; after serialising, each is
/// replaced by the element's attributes in their original order.
inline const QChar attributeMarker(0x1);
/// The DOM escapes every '&' it writes, and it writes a character beyond U+FFFF that the encoding cannot hold as two
/// references to its surrogate halves, which no parser accepts. Such characters are held in the DOM as
/// referenceMarker + "#x...;" and the marker becomes the reference's '&'.
inline const QChar referenceMarker(0x2);

/// The name of the marker attribute standing for the index-th list of attributes.
QString markerName(int index);

/// Whether text is only spaces, tabs and line ends.
bool isBlank(const QString& text);

// What the file's encoding can hold. The DOM's serialiser asks about each
// UTF-16 unit on its own, so outside the Unicode encodings a character
// beyond U+FFFF always takes a reference in text and attribute values.
class charset
{
public:
    explicit charset(QTextCodec* codec);
    /// Whether text can be written as it stands (names, comments, instructions, CDATA).
    bool writes(const QStringRef& text) const;
    /// Whether text holds U+FFFD where the encoding cannot hold it: the
    /// decoder's stand-in for bytes it did not understand.
    bool undecoded(const QStringRef& text) const;
    /// Whether the character c needs a reference in text or an attribute value.
    bool needsReference(uint c) const;
    /// The text with a reference for each character that needs one; escape
    /// is what begins a reference.
    QString referenced(const QStringRef& text, const QString& escape) const;

private:
    static bool hasSurrogates(const QStringRef& text);

    QTextCodec* codec;
    enum { unicode, latin1, other } kind;
};

/// An attribute value as the DOM serialiser escapes it, with references where the encoding needs them.
QString escapedAttribute(const QStringRef& raw, const charset& chars);

/// The encoding the first bytes show, decided as the streaming reader decides it: a byte-order mark, else where the
/// first '<' falls in UTF-16 or UTF-32; UTF-8 otherwise.
struct byteEncoding {
    QTextCodec* codec;
    int markLength; // 0 without a byte-order mark
};
byteEncoding encodingOfBytes(const QByteArray& input);

/// Whether codec is UTF-16 (bits 16) or UTF-32 (bits 32), in either byte order.
bool isWide(const QTextCodec* codec, int bits);

/// What the XML declaration states, read ahead of the streaming reader: it has to be told the byte order of UTF-16
/// without a mark, and it only says whether a document is standalone, not what the declaration wrote.
struct declaration {
    QString encoding;   // as written; empty when not stated
    QString standalone; // as written; empty when not stated
};
declaration declared(const QByteArray& input, const byteEncoding& bytes);

/// Whether the declared encoding names only "UTF-16" or "UTF-32" (and not the byte order), and the bytes show that
/// encoding.
bool orderLeftToBytes(const QString& encoding, const byteEncoding& bytes);

/// The encoding to write in: the one the declaration names, in the byte order the bytes show when it leaves that open;
/// without a declared encoding, the one the bytes show. Null when unknown.
QTextCodec* writingCodec(const QString& encoding, const byteEncoding& bytes);

/// The encoding the document's own declaration names; null when it names none, which leaves the file in a Unicode
/// encoding.
QTextCodec* declaredCodec(const QDomDocument& doc);

/// Text as XML reads it from what the DOM holds: each reference made for a character the encoding cannot hold (see
/// referenceMarker) resolved.
QString unmarked(const QString& held);

} // namespace osplEncoding
