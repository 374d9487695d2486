#pragma once
// Which of the machine's addresses become rows of the adaptor table. Kept
// free of widgets so that it can be checked on any list of interfaces.

#include <QHostAddress>
#include <QList>
#include <QNetworkInterface>
#include <QString>

#include <list>
#include <vector>

/// One candidate address: what a row shows and what choosing it stores.
struct networkDest {
    QString displayName; ///< the interface's human-readable name
    QString address;     ///< IPv4 address text, dotted quad
    QString adaptorId;   ///< the interface's system name, stored as "Adaptor"
};

/// What the row decision needs of one interface.
struct interfaceInfo {
    QString name;
    QString humanReadableName;
    QNetworkInterface::InterfaceFlags flags;
    QList<QHostAddress> addresses; ///< in address-entry order
};

/// A row to list, and whether the stored choice names it.
struct adaptorRow {
    networkDest dest;
    bool selected = false;
};

/// The machine's interfaces, in the toolkit's order, named as the system names them.
QList<interfaceInfo> systemInterfaces();

/// An interface name as the toolkit reports it, turned into the name the system and the middleware use (platform file).
QString systemInterfaceName(const QString& toolkitName);

/// One row per IPv4 address of each interface that can multicast, is running and is up, in interface then address
/// order; a debug line for each interface passed over.
std::vector<adaptorRow> adaptorRows(const QList<interfaceInfo>& interfaces, const QString& storedAddress,
                                    const QString& storedAdaptor);

/// True when some record carries exactly this address and adaptor ID (the same test that selects a row); debug lines
/// tell the verdict.
bool isListed(const std::list<networkDest>& dests, const QString& address, const QString& adaptorId);
