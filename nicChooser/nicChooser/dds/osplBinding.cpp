#include "osplBinding.h"
#include "osplDocument.h"
#include "osplEncoding.h"

#include <QDomDocument>
#include <QHash>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>

using namespace osplEncoding;

namespace {

// The element's text as the middleware reads it: its text and CDATA
// children together.
QString textOf(const QDomElement& element)
{
    QString text;
    for (QDomNode child = element.firstChild(); !child.isNull(); child = child.nextSibling())
        if (child.isText())
            text += child.isCDATASection() ? child.nodeValue() : unmarked(child.nodeValue());
    return text;
}

// The child elements of parent named name, in order.
std::vector<QDomElement> childrenNamed(const QDomNode& parent, const QString& name)
{
    std::vector<QDomElement> out;
    for (QDomNode child = parent.firstChild(); !child.isNull(); child = child.nextSibling())
        if (child.isElement() && child.nodeName() == name)
            out.push_back(child.toElement());
    return out;
}

QDomElement firstNamed(const QDomNode& parent, const QString& name)
{
    for (QDomNode child = parent.firstChild(); !child.isNull(); child = child.nextSibling())
        if (child.isElement() && child.nodeName() == name)
            return child.toElement();
    return QDomElement();
}

// The networking services' elements, and the element each expects for a
// program a Service of the Domain may run.
const QStringList& networkingKinds()
{
    static const QStringList kinds{QStringLiteral("DDSI2Service"), QStringLiteral("DDSI2EService"),
                                   QStringLiteral("NetworkService"), QStringLiteral("SNetworkService"),
                                   QStringLiteral("DDSIService")};
    return kinds;
}

QString kindOfProgram(const QString& command)
{
    // The program's own name, as the middleware starts it from a path or not.
    QString program = command.trimmed().section(QRegularExpression(QStringLiteral("[/\\\\]")), -1).toLower();
    if (program.endsWith(QLatin1String(".exe")))
        program.chop(4);
    static const QStringList programs{QStringLiteral("ddsi2"), QStringLiteral("ddsi2e"), QStringLiteral("networking"),
                                      QStringLiteral("snetworking"), QStringLiteral("ddsi")};
    const int index = programs.indexOf(program);
    return index < 0 ? QString() : networkingKinds().at(index);
}

bool sameName(const QString& a, const QString& b)
{
    return !a.isNull() && !b.isNull() && a.compare(b, Qt::CaseInsensitive) == 0;
}

// Why a DDSI2 service element is set to IPv6, from its General settings;
// empty when it is not.
QString ipv6Setting(const QDomElement& service)
{
    for (const QDomElement& general : childrenNamed(service, QStringLiteral("General"))) {
        for (const QDomElement& flag : childrenNamed(general, QStringLiteral("UseIPv6")))
            if (textOf(flag).trimmed().compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
                return QStringLiteral("General/UseIPv6 is true");
        for (const QDomElement& transport : childrenNamed(general, QStringLiteral("Transport"))) {
            const QString value = textOf(transport).trimmed();
            if (value.compare(QLatin1String("udp6"), Qt::CaseInsensitive) == 0
                || value.compare(QLatin1String("tcp6"), Qt::CaseInsensitive) == 0)
                return QStringLiteral("General/Transport is %1").arg(value);
        }
    }
    return QString();
}

bool hasAddressElement(const QDomElement& service)
{
    for (const QDomElement& general : childrenNamed(service, QStringLiteral("General")))
        if (!firstNamed(general, QStringLiteral("NetworkInterfaceAddress")).isNull())
            return true;
    return false;
}

} // namespace

QStringList osplElementPath()
{
    return {QStringLiteral("OpenSplice"), QStringLiteral("DDSI2Service"), QStringLiteral("General"),
            QStringLiteral("NetworkInterfaceAddress")};
}

QStringList osplBinding::placeholders() const
{
    static const QRegularExpression placeholder(QStringLiteral("\\$\\{[^}]*\\}"));
    QStringList found;
    for (auto it = placeholder.globalMatch(oldValue); it.hasNext();)
        found << it.next().captured(0);
    return found;
}

QStringList osplPathReached(const QDomNode& root)
{
    QStringList reached;
    QDomNode node = root;
    for (const QString& name : osplElementPath()) {
        while (!node.isNull() && !(node.isElement() && node.nodeName() == name))
            node = node.nextSibling();
        if (node.isNull())
            break;
        reached << name;
        node = node.firstChild();
    }
    return reached;
}

outcome osplAddressAccepted(const osplBinding& binding, const QString& address)
{
    if (!binding.found() || binding.ipv6.isEmpty())
        return outcome::done;
    const osplService& first = *binding.targetService();
    const QString name = first.name.isNull() ? QStringLiteral("its first DDSI2Service")
                                             : QStringLiteral("its DDSI2Service '%1'").arg(first.name);
    return {outcome::refused, QStringLiteral("%1 is set to IPv6 (%2), and DDSI2 would not start with the IPv4 address %3")
                                  .arg(name, binding.ipv6, address)};
}

osplBinding osplDocument::binding() const
{
    osplBinding b;
    const QDomElement root = doc.documentElement();
    b.root = root.nodeName();
    b.reached = osplPathReached(root);
    if (b.root != osplElementPath().first())
        return b;

    // The Domain's Services, as the middleware starts them. Names are
    // looked up by hash: a file may hold very many of them.
    struct started {
        QString name;
        bool enabled;
        QString command;
    };
    std::vector<started> domain;
    QHash<QString, osplService::runState> states; // by name in lower case
    for (const QDomElement& d : childrenNamed(root, QStringLiteral("Domain"))) {
        b.hasDomain = true;
        for (const QDomElement& service : childrenNamed(d, QStringLiteral("Service"))) {
            const QString name = attribute(service, QStringLiteral("name"));
            if (name.isNull())
                continue;
            const bool enabled =
                attribute(service, QStringLiteral("enabled")).compare(QLatin1String("false"), Qt::CaseInsensitive) != 0;
            domain.push_back({name, enabled, textOf(firstNamed(service, QStringLiteral("Command")))});
            const auto known = states.find(name.toLower());
            if (known == states.end())
                states.insert(name.toLower(), enabled ? osplService::run : osplService::disabled);
            else if (enabled)
                *known = osplService::run;
        }
    }
    const auto stateOf = [&states](const QString& name) {
        return name.isNull() ? osplService::notRun : states.value(name.toLower(), osplService::notRun);
    };

    std::vector<QDomElement> elements;
    QSet<QString> served; // names of the elements, in lower case
    for (QDomNode child = root.firstChild(); !child.isNull(); child = child.nextSibling()) {
        if (child.isElement() && networkingKinds().contains(child.nodeName())) {
            elements.push_back(child.toElement());
            const QString name = attribute(elements.back(), QStringLiteral("name"));
            if (!name.isNull())
                served.insert(name.toLower());
        }
    }
    const auto first = std::find_if(elements.begin(), elements.end(), [](const QDomElement& e) {
        return e.nodeName() == osplElementPath().at(1);
    });
    const QString firstName = first == elements.end() ? QString() : attribute(*first, QStringLiteral("name"));
    for (auto e = elements.begin(); e != elements.end(); ++e) {
        osplService s;
        s.kind = e->nodeName();
        s.name = attribute(*e, QStringLiteral("name"));
        s.state = stateOf(s.name);
        if (e == first) {
            b.target = int(b.services.size());
            b.ipv6 = ipv6Setting(*e);
        } else if (s.kind.startsWith(QLatin1String("DDSI2")) && sameName(s.name, firstName)) {
            // Read together with the first: it matters only with an address of its own.
            s.ownAddress = hasAddressElement(*e);
            if (!s.ownAddress)
                continue;
        }
        b.services.push_back(s);
    }
    // Services that run a networking program on its defaults, with no element of their name.
    for (const started& d : domain) {
        const QString kind = kindOfProgram(d.command);
        if (!d.enabled || kind.isEmpty() || served.contains(d.name.toLower()))
            continue;
        served.insert(d.name.toLower()); // told once
        osplService s;
        s.kind = kind;
        s.name = d.name;
        s.state = osplService::run;
        s.hasElement = false;
        s.program = d.command.trimmed();
        b.services.push_back(s);
    }

    if (b.found()) {
        const QDomElement address = firstNamed(firstNamed(*first, QStringLiteral("General")),
                                               QStringLiteral("NetworkInterfaceAddress"));
        b.oldValue = textOf(address);
        QHostAddress old;
        if (b.ipv6.isEmpty() && old.setAddress(b.oldValue.trimmed())
            && old.protocol() == QAbstractSocket::IPv6Protocol)
            b.ipv6 = QStringLiteral("its General/NetworkInterfaceAddress holds the IPv6 address %1")
                         .arg(b.oldValue.trimmed());
    }
    return b;
}
