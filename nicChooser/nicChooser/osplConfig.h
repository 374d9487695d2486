#pragma once
// Targeted update of the DDS middleware's XML configuration: the text of
// OpenSplice/DDSI2Service/General/NetworkInterfaceAddress becomes the chosen
// address. The document is rewritten by the toolkit's DOM serialiser (three
// spaces of indentation, the encoding its declaration names, in the byte
// order its bytes show), with each element's attributes kept in their
// original order so that the same input always gives the same bytes. A
// character the encoding cannot hold is written as a character reference
// where XML allows one; white space that is content (xml:space="preserve",
// mixed content) is written back as it was read. Anything the rewrite could
// lose or corrupt is refused and the file left as it was, and so is a
// document beyond the size limits below, or whose rewrite would be: nothing
// is written that would not be read back.

#include <QByteArray>
#include <QDomDocument>
#include <QString>
#include <QStringList>

#include <vector>

/// Largest DDS configuration edited, and largest rewrite written, in bytes: real ones hold tens of kilobytes. Nothing
/// is written that would not be read back.
constexpr int maxOsplBytes = 8 << 20;

/// Most nodes (elements, attributes, texts, comments, instructions) a DDS configuration edited may hold: real ones
/// hold a few thousand. The DOM takes some 500 bytes a node, so with maxOsplBytes this keeps an edit of any input
/// under 1 GiB of memory (measured by the reliability suite).
constexpr int maxOsplNodes = 1000000;

/// What became of an update.
enum class osplResult {
    written,     ///< the file now holds the address
    unchanged,   ///< it held exactly that already; not touched
    notFound,    ///< the element path is not in the document; not touched
    unreadable,  ///< missing or could not be read
    malformed,   ///< not well-formed XML; not touched
    unsupported, ///< well-formed, but a rewrite would lose something; not touched
    tooLarge,    ///< it, or its rewrite, is larger than maxOsplBytes, or it holds more than maxOsplNodes; not touched
    writeFailed, ///< the replacement could not be written; old file whole
};

class QDomElement;
class QTextCodec;

/// Makes value the element's text: its first text or CDATA child that is not blank takes it (else its first blank one,
/// else a new text node), in a form the document's declared encoding can hold, and further text that is not blank
/// goes (the element's text is all of it together); comments are never overwritten.
void setElementText(QDomElement& element, const QString& value);

/// "OpenSplice", "DDSI2Service", "General", "NetworkInterfaceAddress".
QStringList osplElementPath();

/// The leading names of osplElementPath() found from root on, taking at each level the first element of the wanted
/// name, as the update's walk does; all four when the path is there.
QStringList osplPathReached(const QDomNode& root);

/// Why value cannot stand as the element's text; empty when it can.
QString osplValueProblem(const QString& value);

/// A DDS configuration read into the toolkit's DOM for one edit, and written
/// back in its own encoding, byte-order mark and attribute order.
class osplDocument
{
public:
    /// Reads input; when it cannot be edited safely the document is null,
    /// verdict() says why (malformed or unsupported) and a debug line too.
    explicit osplDocument(const QByteArray& input);
    ~osplDocument();
    osplDocument(const osplDocument&) = delete;
    osplDocument& operator=(const osplDocument&) = delete;

    bool isNull() const { return doc.isNull(); }
    osplResult verdict() const { return verdict_; }
    /// Where the input stops being well-formed XML and what the reader expected there ("line L, column C: ..."); empty
    /// unless the verdict is malformed.
    const QString& problem() const { return problem_; }
    /// The root element, where a walk starts.
    QDomNode documentElement() const { return doc.documentElement(); }
    /// The document as it now stands, as the bytes of a file; a null array
    /// (and a debug line) when the encoding cannot hold all of it
    /// (*verdict unsupported) or it would be larger than maxOsplBytes
    /// (tooLarge; found before the text is made when its indentation
    /// alone would be, so that no huge text is ever held).
    QByteArray serialised(osplResult* verdict = nullptr) const;

private:
    QDomDocument doc;
    osplResult verdict_ = osplResult::malformed;
    QString problem_;
    QTextCodec* codec = nullptr; // the encoding to write back in
    bool byteOrderMark = false;
    std::vector<QString> rendered;      // attribute lists behind the markers
    std::vector<QDomElement> spaceKept; // elements whose white space is content
};
