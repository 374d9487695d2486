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
    return QStringLiteral("not a switch, so ignored: %1 (the switches are /ospl, /silent, /list and /select=RULE)")
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
