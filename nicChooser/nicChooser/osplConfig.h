#pragma once
// Targeted update of the DDS middleware's XML configuration: the text of
// OpenSplice/DDSI2Service/General/NetworkInterfaceAddress becomes the chosen
// address. The document is rewritten by the toolkit's DOM serialiser (three
// spaces of indentation, the encoding its declaration names), with each
// element's attributes kept in their original order so that the same input
// always gives the same bytes. Anything the rewrite could lose or corrupt is
// refused and the file left as it was.

#include <QByteArray>
#include <QString>
#include <QStringList>

/// What became of an update.
enum class osplResult {
    written,     ///< the file now holds the address
    unchanged,   ///< it held exactly that already; not touched
    notFound,    ///< the element path is not in the document; not touched
    unreadable,  ///< missing or could not be read
    malformed,   ///< not well-formed XML; not touched
    unsupported, ///< well-formed, but a rewrite would lose something; not touched
    writeFailed, ///< the replacement could not be written; old file whole
};

class QDomElement;

/// Makes value the element's text: the first text or CDATA child takes it, an element without one gets a text node; comments are never overwritten.
void setElementText(QDomElement& element, const QString& value);

/// "OpenSplice", "DDSI2Service", "General", "NetworkInterfaceAddress".
QStringList osplElementPath();

/// The configuration text with the address set, in *output; the result says whether there is anything to write. Debug lines say why not.
osplResult rewriteOsplConfig(const QByteArray& input, const QString& address, QByteArray* output);

/// Reads the file at path, sets the address and replaces the file atomically when that changes it.
osplResult updateOsplConfig(const QString& path, const QString& address);
