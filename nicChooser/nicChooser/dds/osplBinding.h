#pragma once
// What a DDS configuration says about the address the update sets: which
// element takes it, what it held, which networking services the file holds
// or the Domain runs, and whether the Domain runs them. A configuration
// whose DDSI2 service is set to IPv6 is refused, as DDSI2 would not start
// with an IPv4 address.

#include "outcome.h"

#include <QString>
#include <QStringList>

#include <vector>

class QDomNode;

/// "OpenSplice", "DDSI2Service", "General", "NetworkInterfaceAddress".
QStringList osplElementPath();

/// The leading names of osplElementPath() found from root on, taking at each level the first element of the wanted
/// name, as the update's walk does; all four when the path is there.
QStringList osplPathReached(const QDomNode& root);

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
