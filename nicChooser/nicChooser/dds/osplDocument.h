#pragma once
// A DDS configuration read into the toolkit's DOM for one edit and written
// back by its serialiser: three spaces of indentation, the encoding its
// declaration names, in the byte order its bytes show, with each element's
// attributes kept in their original order so that the same input always
// gives the same bytes. A character the encoding cannot hold is written as a
// character reference where XML allows one; white space that is content
// (xml:space="preserve", mixed content) is written back as it was read.
// Anything the rewrite could lose or corrupt is refused, and so is a
// document beyond the size limits below, or whose rewrite would be: nothing
// is written that would not be read back.

#include "osplBinding.h"
#include "outcome.h"

#include <QByteArray>
#include <QDomDocument>
#include <QString>

#include <vector>

class QTextCodec;

/// Largest DDS configuration edited, and largest rewrite written, in bytes: real ones hold tens of kilobytes. Nothing
/// is written that would not be read back.
constexpr int maxOsplBytes = 8 << 20;

/// Most nodes (elements, attributes, texts, comments, instructions) a DDS configuration edited may hold: real ones
/// hold a few thousand. The DOM takes some 500 bytes a node, so with maxOsplBytes this keeps an edit of any input
/// under 1 GiB of memory (measured by the reliability suite).
constexpr int maxOsplNodes = 1000000;

/// The reasons an edit gives for a document beyond the limits above, and for one a rewrite would lose part of.
outcome osplTooLarge();
outcome osplUnsupported();

/// A DDS configuration read into the toolkit's DOM for one edit, and written
/// back in its own encoding, byte-order mark and attribute order.
class osplDocument
{
public:
    /// Reads input; when it cannot be edited safely the document is null,
    /// verdict() says why (malformed, unsupported or tooLarge) and a debug line too.
    explicit osplDocument(const QByteArray& input);
    ~osplDocument();
    osplDocument(const osplDocument&) = delete;
    osplDocument& operator=(const osplDocument&) = delete;

    bool isNull() const { return doc.isNull(); }
    const outcome& verdict() const { return verdict_; }
    /// The root element, where a walk starts.
    QDomNode documentElement() const { return doc.documentElement(); }
    /// What the document says about the address the update sets (see osplBinding), as it now stands.
    osplBinding binding() const;
    /// The value of the element's attribute name as XML reads it; null when it has none.
    QString attribute(const QDomElement& element, const QString& name) const;
    /// The document as it now stands, as the bytes of a file; a null array
    /// (and a debug line) when the encoding cannot hold all of it
    /// (*verdict unsupported) or it would be larger than maxOsplBytes
    /// (tooLarge; found before the text is made when its indentation
    /// alone would be, so that no huge text is ever held).
    QByteArray serialised(outcome* verdict = nullptr) const;

private:
    QDomDocument doc;
    outcome verdict_;
    QTextCodec* codec = nullptr; // the encoding to write back in
    bool byteOrderMark = false;
    std::vector<QString> rendered;      // attribute lists behind the markers
    std::vector<QDomElement> spaceKept; // elements whose white space is content
};

