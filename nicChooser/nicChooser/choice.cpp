#include "choice.h"
#include "systemText.h"

namespace {

// A decimal number of at most maxDigits digits without a leading zero
// ("0" itself is fine); -1 otherwise. Leading zeros are refused because some
// readers take them as octal: "010" would mean 8 to them and 10 to us.
int strictNumber(const QStringRef& s, int maxDigits)
{
    if (s.isEmpty() || s.size() > maxDigits || (s.size() > 1 && s.at(0) == QLatin1Char('0')))
        return -1;
    int n = 0;
    for (const QChar c : s) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        n = n * 10 + (c.unicode() - '0');
    }
    return n;
}

// A dotted quad in host order; false unless it is exactly four numbers 0-255.
bool parseIpv4(const QString& text, quint32* out)
{
    const QVector<QStringRef> parts = text.splitRef(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    quint32 value = 0;
    for (const QStringRef& p : parts) {
        const int n = strictNumber(p, 3);
        if (n < 0 || n > 255)
            return false;
        value = value << 8 | quint32(n);
    }
    *out = value;
    return true;
}

quint32 mask(int bits)
{
    return bits == 0 ? 0 : ~quint32(0) << (32 - bits);
}

bool onlyDigitsAndDots(const QString& text)
{
    for (const QChar c : text)
        if (!c.isDigit() && c != QLatin1Char('.'))
            return false;
    return true;
}

QString cleanField(QString field)
{
    for (QChar& c : field)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char(' ');
    return field;
}

} // namespace

commandSwitches scanSwitches(const QStringList& arguments)
{
    commandSwitches s;
    bool program = true;
    for (const QString& arg : arguments) {
        const bool first = program;
        program = false;
        if (arg.startsWith(QLatin1String("/ospl"))) {
            s.ospl = true;
        } else if (arg.startsWith(QLatin1String("/silent"))) {
            s.silent = true;
        } else if (arg.startsWith(QLatin1String("/list"))) {
            s.list = true;
        } else if (arg.startsWith(QLatin1String("/select"))) {
            ++s.selects;
            const int eq = arg.indexOf(QLatin1Char('='));
            s.rule = eq < 0 ? QString() : arg.mid(eq + 1);
        } else if (!first) {
            s.unknown << arg;
        }
    }
    return s;
}

selectRule parseSelectRule(const QString& text)
{
    selectRule r;
    r.text = text;
    if (text.isEmpty()) {
        r.problem = QStringLiteral("the rule is empty");
        return r;
    }
    const int slash = text.indexOf(QLatin1Char('/'));
    if (slash >= 0) {
        // No interface name holds a '/', so this can only be a prefix.
        const int bits = strictNumber(text.midRef(slash + 1), 2);
        if (!parseIpv4(text.left(slash), &r.network) || bits < 0 || bits > 32) {
            r.problem = QStringLiteral("a prefix is written a.b.c.d/n with n from 0 to 32");
            return r;
        }
        r.type = selectRule::prefix;
        r.bits = bits;
        r.network &= mask(bits);
        return r;
    }
    if (onlyDigitsAndDots(text)) {
        if (!parseIpv4(text, &r.network)) {
            r.problem = QStringLiteral("an address is written as four numbers from 0 to 255, such as 10.20.0.7");
            return r;
        }
        r.type = selectRule::address;
        return r;
    }
    for (const QChar c : text) {
        if (c.isSpace() || c.category() == QChar::Other_Control) {
            r.problem = QStringLiteral("an adaptor ID holds no blanks or control characters");
            return r;
        }
    }
    r.type = selectRule::adaptor;
    return r;
}

selectRule ruleOf(const commandSwitches& switches)
{
    if (switches.selects > 1) {
        selectRule r;
        r.text = switches.rule;
        r.problem = QStringLiteral("/select is given more than once");
        return r;
    }
    if (switches.rule.isNull()) {
        selectRule r;
        r.problem = QStringLiteral("/select needs a rule after '=', such as /select=10.20.0.0/16");
        return r;
    }
    return parseSelectRule(switches.rule);
}

std::vector<int> matchingRows(const std::list<networkDest>& rows, const selectRule& rule)
{
    std::vector<int> out;
    int index = 0;
    for (const networkDest& row : rows) {
        quint32 ip = 0;
        bool match = false;
        switch (rule.type) {
        case selectRule::address: match = parseIpv4(row.address, &ip) && ip == rule.network; break;
        case selectRule::prefix: match = parseIpv4(row.address, &ip) && (ip & mask(rule.bits)) == rule.network; break;
        case selectRule::adaptor: match = row.adaptorId == rule.text; break;
        case selectRule::malformed: break;
        }
        if (match)
            out.push_back(index);
        ++index;
    }
    return out;
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
