#pragma once
// Targeted update of the DDS middleware's XML configuration: the text of
// OpenSplice/DDSI2Service/General/NetworkInterfaceAddress becomes the chosen
// address. How the document is read and written back is osplDocument's
// (osplDocument.h); what the configuration says about the address, and the
// refusal of one set to IPv6, osplBinding's (osplBinding.h).

#include "fileReplace.h"
#include "osplDocument.h"
#include "outcome.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

class QDomElement;
class QDomNode;

/// Makes value the element's text: its first text or CDATA child that is not blank takes it (else its first blank one,
/// else a new text node), in a form the document's declared encoding can hold, and further text that is not blank
/// goes (the element's text is all of it together); comments are never overwritten.
void setElementText(QDomElement& element, const QString& value);

/// Whether value can stand as the element's text: done, or unsupported with why not.
outcome osplValueAllowed(const QString& value);

/// The walk that finds the element and sets its text: true when it found it. The dialog's delve is the one used.
using osplWalk = bool (*)(QDomNode& node, const QStringList& path, const QString& value);

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
