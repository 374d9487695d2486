#include "runReport.h"
#include "systemText.h"

#include <algorithm>
#include <cstdio>

namespace {
QString cleanField(QString field)
{
    for (QChar& c : field)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    return field;
}

} // namespace

void tell(const QString& text)
{
    // One line whatever names it holds, in the system's own bytes, so that a
    // folder name that is not UTF-8 shows as the terminal shows it elsewhere.
    std::fprintf(stderr, "nicChooser: %s\n", systemBytes(oneLine(text, true)).constData());
    std::fflush(stderr);
}

QString missingVariables(const QString& root, const QString& system)
{
    // An empty value is as good as none: an empty root would put the
    // settings file at the top of the file system.
    if (root.isEmpty() && system.isEmpty())
        return QStringLiteral("CC_ROOT and CC_SYSTEM");
    if (root.isEmpty())
        return QStringLiteral("CC_ROOT");
    if (system.isEmpty())
        return QStringLiteral("CC_SYSTEM");
    return QString();
}

QString fatalText(const QString& missing)
{
    const bool both = missing.contains(QLatin1Char(' '));
    return QStringLiteral("Can't set the adaptor - there's nowhere to write the value to because ") + missing
           + (both ? QStringLiteral(" environment variables are not set")
                   : QStringLiteral(" environment variable is not set"));
}

QString unknownArguments(const QStringList& unknown)
{
    if (unknown.isEmpty())
        return QString();
    return QStringLiteral("not a switch, so ignored: %1 (the switches are /ospl, /silent, /list, /check and /select=RULE)")
        .arg(unknown.join(QStringLiteral(" ")));
}

QString storedNoRow(const QString& storedAddress, const QString& storedAdaptor, const QString& elsewhere)
{
    if (storedAddress.isEmpty() && storedAdaptor.isEmpty())
        return QStringLiteral("nothing is stored yet");
    if (!elsewhere.isEmpty())
        return QStringLiteral("the stored choice names no row here (%1 is here, but on %2)")
            .arg(oneLine(storedAddress), oneLine(elsewhere));
    return QStringLiteral("the stored choice names no row here");
}

QString statusLine(const QString& storedAddress, const QString& storedAdaptor, bool storedListed, int rowCount,
                   const selectRule* rule, int matches, const QString& unreadable, const QString& elsewhere)
{
    // What the settings file and the command line hold, as one line each.
    const QString address = oneLine(storedAddress), adaptor = oneLine(storedAdaptor);
    QStringList parts;
    if (!unreadable.isEmpty()) {
        parts << QStringLiteral("The settings file cannot be read: %1.").arg(oneLine(unreadable));
    } else if (storedAddress.isEmpty() && storedAdaptor.isEmpty()) {
        parts << QStringLiteral("Nothing stored yet.");
    } else {
        const QString pair = QStringLiteral("Stored: %1 on %2")
                                 .arg(address.isEmpty() ? QStringLiteral("(no address)") : address,
                                      adaptor.isEmpty() ? QStringLiteral("(no adaptor)") : adaptor);
        if (storedListed)
            parts << pair + QStringLiteral(".");
        else if (!elsewhere.isEmpty())
            parts << pair + QStringLiteral("; %1 is here, but on %2.").arg(address, oneLine(elsewhere));
        else
            parts << pair + QStringLiteral(", not on this machine.");
    }
    if (rule) {
        const QString name = oneLine(rule->shown());
        if (rule->type == selectRule::malformed)
            parts << QStringLiteral("%1 is not usable: %2.").arg(name, oneLine(rule->problem));
        else if (matches == 0)
            parts << QStringLiteral("%1 matches no row.").arg(name);
        else if (matches > 1)
            parts << QStringLiteral("%1 matches %2 rows; choose one.").arg(name).arg(matches);
        else
            parts << QStringLiteral("%1 chose the highlighted row.").arg(name);
    }
    if (rowCount == 0)
        parts << QStringLiteral("No interface is up, running and able to multicast; Help explains why.");
    return parts.join(QLatin1Char(' '));
}

QString changeSummary(const QString& address, const QString& adaptor, const QString& settingsFile, bool created,
                      const QString& ddsFile)
{
    QStringList files;
    if (!settingsFile.isEmpty())
        files << (created ? QStringLiteral("created the settings file %1")
                          : QStringLiteral("wrote the settings file %1"))
                     .arg(oneLine(settingsFile));
    if (!ddsFile.isEmpty())
        files << QStringLiteral("wrote the DDS configuration %1").arg(oneLine(ddsFile));
    if (files.isEmpty())
        return QString();
    return QStringLiteral("stored %1 on %2: %3")
        .arg(oneLine(address), oneLine(adaptor), files.join(QStringLiteral(" and ")));
}

namespace {

// Real configurations hold one to three networking services; a file holding
// thousands must not make a line or a report of thousands.
constexpr int maxServicesTold = 16;

QString serviceShown(const osplService& service)
{
    return service.name.isNull() ? QStringLiteral("%1 without a name").arg(service.kind)
                                 : QStringLiteral("%1 '%2'").arg(service.kind, oneLine(service.name));
}

// Why a service the Domain does not start is not started.
QString notRunWhy(const osplService& service, bool hasDomain)
{
    if (!hasDomain)
        return QStringLiteral("there is no Domain to run it");
    if (service.name.isNull())
        return QStringLiteral("without a name, no Service of the Domain can run it");
    if (service.state == osplService::disabled)
        return QStringLiteral("its Service in the Domain has enabled=\"false\"");
    return QStringLiteral("the Domain has no Service of that name");
}

// Why service, which is not the one the update sets, does not bind the
// address; afterUpdate: told after an update, else by /check.
QString unboundWhy(const osplService& service, bool hasDomain, bool afterUpdate)
{
    const QString shown = serviceShown(service);
    if (!service.hasElement)
        return QStringLiteral("the Domain's Service '%1' runs %2 with no %3 of that name, so it chooses its own interface")
            .arg(oneLine(service.name), oneLine(service.program), service.kind);
    const QString notChanged = afterUpdate ? QStringLiteral("was not changed: only the first DDSI2Service is")
                                           : QStringLiteral("an update sets only the first DDSI2Service");
    if (service.ownAddress)
        return QStringLiteral("%1 is given again with a General/NetworkInterfaceAddress of its own, which %2")
            .arg(shown, afterUpdate ? QStringLiteral("was not changed: only the first DDSI2Service is")
                                    : QStringLiteral("an update does not set"));
    const bool ddsi2 = service.kind.startsWith(QLatin1String("DDSI2"));
    if (service.state == osplService::run)
        return ddsi2 ? QStringLiteral("%1 is run by the Domain but %2").arg(shown, notChanged)
                     : QStringLiteral("%1 chooses its own interface").arg(shown);
    return ddsi2 ? QStringLiteral("%1 is not run (%2) and %3").arg(shown, notRunWhy(service, hasDomain), notChanged)
                 : QStringLiteral("%1 is not run: %2").arg(shown, notRunWhy(service, hasDomain));
}

// Why the update found no element to set.
QString missingWhy(const osplBinding& binding)
{
    const QStringList path = osplElementPath();
    if (binding.reached.isEmpty())
        return QStringLiteral("the document element is %1, not %2").arg(oneLine(binding.root), path.first());
    if (binding.reached.size() == 1) {
        const bool others = !binding.services.empty();
        return others ? QStringLiteral("there is no DDSI2Service")
                      : QStringLiteral("there is no DDSI2Service, nor any other networking service");
    }
    const osplService& first = *binding.targetService();
    const QString shown = first.name.isNull() ? QStringLiteral("the first DDSI2Service")
                                              : QStringLiteral("the first DDSI2Service, '%1',").arg(oneLine(first.name));
    return binding.reached.size() == 2 ? QStringLiteral("%1 has no General").arg(shown)
                                       : QStringLiteral("%1 has no General/NetworkInterfaceAddress").arg(shown);
}

QString valueShown(const QString& value)
{
    return value.trimmed().isEmpty() ? QStringLiteral("(empty)") : oneLine(value.trimmed());
}

} // namespace

QString bindingLine(const QString& ddsFile, const QString& address, const osplBinding& binding,
                    const QString& uriElsewhere)
{
    QStringList parts;
    const osplService* first = binding.targetService();
    if (binding.found()) {
        const bool held = binding.oldValue.trimmed() == address;
        QString change = held ? QStringLiteral("General/NetworkInterfaceAddress already %1").arg(oneLine(address))
                              : QStringLiteral("General/NetworkInterfaceAddress %1 -> %2")
                                    .arg(valueShown(binding.oldValue), oneLine(address));
        const QStringList placeholders = binding.placeholders();
        if (!held && !placeholders.isEmpty())
            change += (placeholders.size() == 1 ? QStringLiteral("; the deployment's placeholder %1 is now a fixed address")
                                                : QStringLiteral("; the deployment's placeholders %1 are now a fixed address"))
                          .arg(oneLine(placeholders.join(QStringLiteral(", "))));
        if (first->state == osplService::run)
            parts << QStringLiteral("%1 binds %2 (%3)").arg(serviceShown(*first), oneLine(address), change);
        else
            parts << QStringLiteral("%1 %2 %3 (%4) but is not run: %5")
                         .arg(serviceShown(*first), held ? QStringLiteral("holds") : QStringLiteral("took"),
                              oneLine(address), change, notRunWhy(*first, binding.hasDomain));
    } else {
        parts << QStringLiteral("nothing took %1: %2").arg(oneLine(address), missingWhy(binding));
    }
    int told = 0;
    for (const osplService& service : binding.services) {
        if (&service != first && ++told <= maxServicesTold)
            parts << unboundWhy(service, binding.hasDomain, true);
        else if (&service == first && !binding.found() && service.state == osplService::run)
            parts << QStringLiteral("%1 chooses its own interface").arg(serviceShown(service));
    }
    if (told > maxServicesTold)
        parts << QStringLiteral("%1 more networking services do not bind it either").arg(told - maxServicesTold);
    if (!uriElsewhere.isEmpty())
        parts << QStringLiteral("OSPL_URI names another configuration, %1, which was not changed")
                     .arg(oneLine(uriElsewhere));
    parts << QStringLiteral("running DDS services read their configuration only when they start");
    return QStringLiteral("DDS configuration %1: %2").arg(oneLine(ddsFile), parts.join(QStringLiteral("; ")));
}

QStringList checkLines(const installationState& s)
{
    QStringList lines;
    const QString settings = oneLine(s.settingsFile);
    if (!s.unreadable.isEmpty())
        lines << QStringLiteral("the settings file %1 cannot be read: %2").arg(settings, oneLine(s.unreadable));
    else if (s.storedAddress.isEmpty() && s.storedAdaptor.isEmpty())
        lines << QStringLiteral("nothing is stored yet in the settings file %1").arg(settings);
    else if (!s.storedListed)
        lines << QStringLiteral("the stored choice, %1 on %2, %3")
                     .arg(oneLine(s.storedAddress), oneLine(s.storedAdaptor),
                          s.elsewhere.isEmpty()
                              ? QStringLiteral("is not on this machine")
                              : QStringLiteral("is not on this machine: %1 is here, but on %2")
                                    .arg(oneLine(s.storedAddress), oneLine(s.elsewhere)));
    if (s.ddsFile.isEmpty() || s.storedAddress.isEmpty())
        return lines;
    const QString dds = oneLine(s.ddsFile);
    if (!s.dds.ok())
        return lines << QStringLiteral("the DDS configuration %1 cannot be read: %2").arg(dds, oneLine(s.dds.reason()));
    const osplBinding& b = s.binding;
    const outcome accepted = osplAddressAccepted(b, s.storedAddress);
    if (!accepted.ok())
        lines << QStringLiteral("the DDS configuration %1 cannot take %2: %3")
                     .arg(dds, oneLine(s.storedAddress), oneLine(accepted.reason()));
    const osplService* first = b.targetService();
    if (b.found() && b.oldValue.trimmed() != s.storedAddress)
        lines << QStringLiteral("the DDS configuration %1 holds %2, not %3, in the General/NetworkInterfaceAddress of %4")
                     .arg(dds, valueShown(b.oldValue), oneLine(s.storedAddress), serviceShown(*first));
    int unbound = 0;
    for (const osplService& service : b.services) {
        if (service.state != osplService::run)
            continue;
        if (&service != first && ++unbound <= maxServicesTold)
            lines << QStringLiteral("the DDS configuration %1: %2").arg(dds, unboundWhy(service, b.hasDomain, false));
        else if (&service == first && !b.found())
            lines << QStringLiteral("the DDS configuration %1: %2 has no General/NetworkInterfaceAddress, so it chooses "
                                    "its own interface")
                         .arg(dds, serviceShown(service));
    }
    if (unbound > maxServicesTold)
        lines << QStringLiteral("the DDS configuration %1: %2 more running networking services do not bind %3 either")
                     .arg(dds, QString::number(unbound - maxServicesTold), oneLine(s.storedAddress));
    return lines;
}

QString rowLine(const networkDest& row)
{
    return cleanField(row.displayName) + QLatin1Char('\t') + cleanField(row.address) + QLatin1Char('\t')
           + cleanField(row.adaptorId);
}

QString listing(const std::vector<adaptorRow>& rows)
{
    QString out;
    for (const adaptorRow& row : rows)
        out += rowLine(row.dest) + QLatin1Char('\t') + (row.selected ? QStringLiteral("stored") : QString())
               + QLatin1Char('\n');
    return out;
}

int unstoredStatus(const selectRule& rule, int matches)
{
    if (rule.type == selectRule::malformed)
        return exitBadRule;
    return matches == 0 ? exitNoMatch : exitSeveralMatch;
}

QString unstoredLine(const selectRule& rule, int rowCount, int matches)
{
    if (rule.type == selectRule::malformed)
        return QStringLiteral("%1 is not usable: %2; nothing was written").arg(rule.shown(), rule.problem);
    if (rowCount == 0)
        return QStringLiteral("%1 matches no row, as no interface is up, running and able to multicast; "
                              "nothing was written")
            .arg(rule.shown());
    if (matches == 0)
        return QStringLiteral("%1 matches none of these rows; nothing was written").arg(rule.shown());
    return QStringLiteral("%1 matches %2 rows; nothing was written").arg(rule.shown()).arg(matches);
}

QStringList candidateLines(const std::list<networkDest>& rows, const selectRule& rule, const std::vector<int>& matches)
{
    QStringList out;
    // A malformed rule is about its own text, not about the rows.
    const bool aboutRows = rule.type != selectRule::malformed;
    int index = 0;
    for (const networkDest& row : rows) {
        if (aboutRows && (matches.empty() || std::find(matches.begin(), matches.end(), index) != matches.end()))
            out << QStringLiteral("  ") + rowLine(row);
        ++index;
    }
    return out;
}
