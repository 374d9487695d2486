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

#include "fileReplace.h"
#include "outcome.h"

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

/// The reasons an edit gives for a document beyond the limits above, and for one a rewrite would lose part of.
outcome osplTooLarge();
outcome osplUnsupported();

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

/// Whether value can stand as the element's text: done, or unsupported with why not.
outcome osplValueAllowed(const QString& value);

/// The walk that finds the element and sets its text: true when it found it. The dialog's delve is the one used.
using osplWalk = bool (*)(QDomNode& node, const QStringList& path, const QString& value);

/// The DDS configuration input with the address set (read, walk, serialise), in *output: done; unchanged when it held
/// exactly that already; notFound when the element path is not there; malformed, unsupported or tooLarge when it must
/// not be rewritten (debug lines say why).
outcome rewriteOsplConfig(const QByteArray& input, const QString& address, osplWalk walk, QByteArray* output);

/// Locks, reads and rewrites the DDS configuration at path with the address, replacing it atomically when that changes
/// it: what rewriteOsplConfig says, or missing or unreadable (the file is never created), or what replacing it says.
/// waitHook, when given, is asked while another writer holds it (see lockWaitHook).
outcome updateOsplConfig(const QString& path, const QString& address, osplWalk walk,
                         const lockWaitHook& waitHook = lockWaitHook());

/// Whether an update leaves the configuration as the choice wants it: a configuration without the element is one whose
/// DDS service does not use it, and installations rely on that not being an error.
bool osplUpdated(const outcome& update);

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
