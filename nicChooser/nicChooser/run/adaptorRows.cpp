#include "adaptorRows.h"
#include "debugLog.h"

#include <QAbstractSocket>
#include <QNetworkAddressEntry>

QList<interfaceInfo> systemInterfaces()
{
    QList<interfaceInfo> result;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& iface : all) {
        interfaceInfo info{
            systemInterfaceName(iface.name()), systemInterfaceName(iface.humanReadableName()), iface.flags(), {}};
        const QList<QNetworkAddressEntry> entries = iface.addressEntries();
        for (const QNetworkAddressEntry& entry : entries)
            info.addresses.append(entry.ip());
        result.append(info);
    }
    return result;
}

std::vector<adaptorRow> adaptorRows(const QList<interfaceInfo>& interfaces, const QString& storedAddress,
                                    const QString& storedAdaptor)
{
    const QNetworkInterface::InterfaceFlags needed =
        QNetworkInterface::CanMulticast | QNetworkInterface::IsRunning | QNetworkInterface::IsUp;
    std::vector<adaptorRow> rows;
    for (const interfaceInfo& iface : interfaces) {
        if ((iface.flags & needed) != needed) {
            // One wording whichever flag is missing: the operator only needs
            // to know why the interface is not offered.
            ncDebug() << iface.humanReadableName << ": interface can't multicast!";
            continue;
        }
        for (const QHostAddress& ip : iface.addresses) {
            if (ip.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            adaptorRow row;
            row.dest = networkDest{iface.humanReadableName, ip.toString(), iface.name};
            row.selected = row.dest.address == storedAddress && row.dest.adaptorId == storedAdaptor;
            rows.push_back(row);
        }
    }
    return rows;
}

bool isListed(const std::list<networkDest>& dests, const QString& address, const QString& adaptorId)
{
    ncDebug() << "nicChooser::isValid: checking validity: " << address << " " << adaptorId;
    for (const networkDest& d : dests) {
        if (d.address == address && d.adaptorId == adaptorId) {
            ncDebug() << "nicChooser::isValid: valid";
            return true;
        }
    }
    ncDebug() << "nicChooser::isValid: NOT valid";
    return false;
}
