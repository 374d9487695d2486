#include "commandLine.h"

#include <QFileInfo>

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

} // namespace

commandSwitches scanSwitches(const QStringList& arguments)
{
    commandSwitches s;
    bool program = true;
    for (const QString& arg : arguments) {
        const bool first = program;
        program = false;
        // The path this program was started by is no switch, wherever it was installed ("/check/bin/nicChooser");
        // a switch a caller put in its place, as some Windows callers build the command line, still counts.
        if (first && QFileInfo(arg).isFile())
            continue;
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
        } else if (arg.startsWith(QLatin1String("/check"))) {
            s.check = true;
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
