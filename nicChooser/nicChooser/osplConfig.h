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
// is written that would not be read back. What the configuration says about
// the address (which networking services the Domain runs, and which of them
// reads the element) is told by osplBinding; a configuration whose DDSI2
// service is set to IPv6 is refused, as DDSI2 would not start with an IPv4
// address.

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

/// A networking service of a DDS configuration, as the middleware finds it: an element of the document element named
/// DDSI2Service, DDSI2EService, NetworkService, SNetworkService or DDSIService, which the service whose name its name
/// attribute holds (ignoring case) reads when it starts; or a Service of the Domain that runs one of those programs
/// with no such element of its name, and so runs on its defaults. The Domain starts each of its Service elements
/// whose enabled attribute is not "false" (ignoring case).
struct osplService {
    enum runState {
        run,      ///< a Service of the Domain of that name is started
        disabled, ///< the Domain names it only in Services with enabled="false"
        notRun,   ///< no Service of the Domain names it (it has no name, or there is no Domain)
    };
    QString kind;             ///< the element's name; for a Service without an element, the element it lacks
    QString name;             ///< the name attribute; null when there is none
    runState state = notRun;
    bool hasElement = true;   ///< false: a Service of the Domain whose program has no element of its name
    QString program;          ///< for a Service without an element: its Command ("/opt/ospl/bin/ddsi2")
    bool ownAddress = false;  ///< another DDSI2 element of the first one's name, with an address of its own
};

/// What a DDS configuration says about the address the update sets, read before the edit: which element takes it,
/// what it held, and which networking services there are and whether the Domain runs them.
struct osplBinding {
    QString root;            ///< the document element's name
    QStringList reached;     ///< as osplPathReached: all four names when the element is there
    QString oldValue;        ///< the element's text before the edit (references resolved); null without the element
    int target = -1;         ///< in services: the first DDSI2Service, the one the update sets; -1 when there is none
    bool hasDomain = false;  ///< the document element has a Domain, which starts the services
    std::vector<osplService> services; ///< the elements in document order, then the Services without one
    QString ipv6;            ///< why the first DDSI2Service is set to IPv6 ("General/UseIPv6 is true"); empty if not

    /// The element is there: the update sets it.
    bool found() const { return reached.size() == 4; }
    /// The first DDSI2Service; null without one.
    const osplService* targetService() const { return target < 0 ? nullptr : &services[size_t(target)]; }
    /// The placeholders ("${NAME}", "${NAME:-DEFAULT}") in the element's old text, which the deployment expands.
    QStringList placeholders() const;
};

/// Whether address may go into a configuration of this binding: done, or refused (with why) when its first DDSI2Service
/// is set to IPv6 and the element is there, since DDSI2 would not start with an IPv4 address.
outcome osplAddressAccepted(const osplBinding& binding, const QString& address);

/// The DDS configuration input with the address set (read, walk, serialise), in *output: done; unchanged when it held
/// exactly that already; notFound when the element path is not there; refused as osplAddressAccepted says; malformed,
/// unsupported or tooLarge when it must not be rewritten (debug lines say why). *binding, when given, gets what the
/// input says about the address (see osplBinding) whenever the input could be read.
outcome rewriteOsplConfig(const QByteArray& input, const QString& address, osplWalk walk, QByteArray* output,
                          osplBinding* binding = nullptr);

/// Locks, reads and rewrites the DDS configuration at path with the address, replacing it atomically when that changes
/// it: what rewriteOsplConfig says, or missing or unreadable (the file is never created), or what replacing it says.
/// waitHook, when given, is asked while another writer holds it (see lockWaitHook); *binding as rewriteOsplConfig.
outcome updateOsplConfig(const QString& path, const QString& address, osplWalk walk,
                         const lockWaitHook& waitHook = lockWaitHook(), osplBinding* binding = nullptr);

/// Reads the DDS configuration at path, neither locking nor writing it, into *binding: done; or missing, unreadable,
/// tooLarge, malformed or unsupported, as the update would find it.
outcome inspectOsplConfig(const QString& path, osplBinding* binding);

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
