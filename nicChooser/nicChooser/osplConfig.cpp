#include "osplConfig.h"
#include "fileReplace.h"
#include "nicChooser.h"

#include <QDebug>
#include <QDomDocument>
#include <QRegularExpression>
#include <QSet>
#include <QTextCodec>
#include <QTextStream>
#include <QXmlStreamReader>

#include <vector>

namespace {

// Far deeper than any real configuration, and shallow enough that the DOM's
// recursive walks cannot run out of stack.
constexpr int maxDepth = 512;

// One attribute of the element with the given index in document order; kept
// as plain strings, since the reader's own hold on to its buffers.
struct scannedAttribute {
    quint32 element;
    QString name;
    QString value;
};

// What a streaming pass over the raw text learns before the DOM sees it.
struct scan {
    bool ok = false;
    osplResult verdict = osplResult::malformed; // when not ok
    // Per element in document order, as read by a conforming parser: the
    // DOM keeps line breaks and tabs in attribute values where XML reads
    // spaces, so its own values must not be written back.
    std::vector<scannedAttribute> attributes;
};

scan scanDocument(const QByteArray& input)
{
    scan s;
    QXmlStreamReader reader(input);
    reader.setNamespaceProcessing(false);
    int depth = 0;
    bool beforeDoctype = false; // a comment or instruction seen at the top level
    quint32 element = 0;
    QSet<QString> names;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            // The DOM writes a DOCTYPE back without its internal subset, which
            // would drop the entity declarations the document relies on.
            if (reader.text().contains(QLatin1Char('['))) {
                qDebug() << "QoS file has a DOCTYPE with an internal subset, which a rewrite would lose; not changed";
                s.verdict = osplResult::unsupported;
                return s;
            }
            // It also writes the DOCTYPE first, ahead of whatever came before it.
            if (beforeDoctype) {
                qDebug() << "QoS file has a comment or instruction before its DOCTYPE, which a rewrite would move; not changed";
                s.verdict = osplResult::unsupported;
                return s;
            }
            break;
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction:
            beforeDoctype = beforeDoctype || depth == 0;
            break;
        case QXmlStreamReader::StartElement: {
            if (++depth > maxDepth) {
                qDebug() << "QoS file nests elements deeper than" << maxDepth << "levels; not changed";
                s.verdict = osplResult::unsupported;
                return s;
            }
            for (const QXmlStreamAttribute& a : reader.attributes()) {
                // Names repeat from element to element: share one copy each.
                const QString name = a.qualifiedName().toString();
                auto known = names.constFind(name);
                if (known == names.constEnd())
                    known = names.insert(name);
                s.attributes.push_back({element, *known, a.value().toString()});
            }
            ++element;
            break;
        }
        case QXmlStreamReader::EndElement:
            --depth;
            break;
        default:
            break;
        }
    }
    if (reader.hasError()) {
        qDebug() << "QoS file is not well-formed XML:" << reader.errorString() << "at line"
                 << reader.lineNumber() << "column" << reader.columnNumber() << "; not changed";
        return s;
    }
    s.ok = true;
    return s;
}

// The file's own encoding: the one the declaration names, else the one its
// byte-order mark shows, else UTF-8 (the rules the parser read it by).
QTextCodec* documentCodec(const QDomDocument& doc, const QByteArray& input, bool* known)
{
    *known = true;
    const QDomNode first = doc.firstChild();
    if (first.isProcessingInstruction() && first.nodeName() == QLatin1String("xml")) {
        static const QRegularExpression encoding(
            QStringLiteral("encoding\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)')"));
        const QRegularExpressionMatch m = encoding.match(first.nodeValue());
        const QString name = m.captured(1).isEmpty() ? m.captured(2) : m.captured(1);
        if (!name.isEmpty()) {
            QTextCodec* codec = QTextCodec::codecForName(name.toLatin1());
            if (!codec)
                *known = false;
            return codec;
        }
    }
    return QTextCodec::codecForUtfText(input, QTextCodec::codecForName("UTF-8"));
}

// input with every CRLF and lone CR made LF, as XML requires of a parser
// before it reads anything. The DOM skips this step: it keeps a typed CR in
// text and writes it back as "&#xd;", a real CR that was never meant.
QByteArray withXmlLineEnds(const QByteArray& input)
{
    if (!input.contains('\r'))
        return input;
    if (QTextCodec* utf = QTextCodec::codecForUtfText(input, nullptr); utf && utf->mibEnum() != 106) {
        // UTF-16 or UTF-32 with a byte-order mark: CR is not a byte there.
        QString text = utf->toUnicode(input);
        text.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
        return utf->fromUnicode(text);
    }
    if (input.left(4).contains('\0'))
        return input; // UTF-16 without a mark; the parser decides what it makes of it
    QByteArray out = input;
    return out.replace("\r\n", "\n").replace('\r', '\n');
}

bool startsWithByteOrderMark(const QByteArray& input)
{
    return input.startsWith("\xEF\xBB\xBF") || input.startsWith("\xFF\xFE") || input.startsWith("\xFE\xFF");
}

// An attribute value as the DOM serialiser escapes it.
QString escapedAttribute(const QString& value, QTextCodec* codec)
{
    QString out;
    out.reserve(value.size());
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        switch (c.unicode()) {
        case '<': out += QLatin1String("&lt;"); break;
        case '&': out += QLatin1String("&amp;"); break;
        case '"': out += QLatin1String("&quot;"); break;
        case '\n': out += QLatin1String("&#xa;"); break;
        case '\r': out += QLatin1String("&#xd;"); break;
        case '\t': out += QLatin1String("&#x9;"); break;
        case '>':
            out += i >= 2 && value.at(i - 1) == QLatin1Char(']') && value.at(i - 2) == QLatin1Char(']')
                       ? QLatin1String("&gt;") : QLatin1String(">");
            break;
        default:
            if (c.isHighSurrogate() && i + 1 < value.size() && value.at(i + 1).isLowSurrogate()) {
                const QString pair = value.mid(i, 2);
                if (codec->canEncode(pair))
                    out += pair;
                else
                    out += QStringLiteral("&#x%1;").arg(QChar::surrogateToUcs4(c, value.at(i + 1)), 0, 16);
                ++i;
            } else if (codec->canEncode(c)) {
                out += c;
            } else {
                out += QStringLiteral("&#x%1;").arg(c.unicode(), 0, 16);
            }
        }
    }
    return out;
}

// The DOM keeps attributes in a hash, so it writes them in an order that
// changes from process to process. Elements with more than one attribute get
// a single marker attribute instead, whose name can never occur in parsed
// XML; after serialising, each marker is replaced by the element's attributes
// in their original order.
const QChar markerLead(0x1);

QString markerName(int index)
{
    return markerLead + QString::number(index);
}

std::vector<QString> markAttributes(QDomDocument& doc, const std::vector<scannedAttribute>& attributes,
                                    QTextCodec* codec)
{
    std::vector<QString> rendered;
    quint32 element = 0;
    size_t next = 0; // the first scanned attribute not yet used
    // Iterative pre-order walk: document order, the order the scan saw, and
    // no recursion however deep the document.
    const QDomNode root = doc.documentElement();
    QDomNode node = root;
    while (!node.isNull()) {
        if (node.isElement()) {
            QDomElement e = node.toElement();
            const size_t first = next;
            while (next < attributes.size() && attributes[next].element == element)
                ++next;
            ++element;
            if (next - first > 1) {
                QString text;
                for (size_t i = first; i < next; ++i) {
                    const scannedAttribute& a = attributes[i];
                    text += QLatin1Char(' ') + a.name + QLatin1String("=\"") + escapedAttribute(a.value, codec)
                            + QLatin1Char('"');
                    e.removeAttribute(a.name);
                }
                e.setAttribute(markerName(int(rendered.size())), QString());
                rendered.push_back(text);
            } else if (next - first == 1 && e.attribute(attributes[first].name) != attributes[first].value) {
                e.setAttribute(attributes[first].name, attributes[first].value);
            }
        }
        if (!node.firstChild().isNull()) {
            node = node.firstChild();
            continue;
        }
        while (node != root && node.nextSibling().isNull())
            node = node.parentNode();
        if (node == root)
            break;
        node = node.nextSibling();
    }
    return rendered;
}

QString unmarkAttributes(const QString& text, const std::vector<QString>& rendered)
{
    if (rendered.empty())
        return text;
    QString out;
    out.reserve(text.size());
    int pos = 0;
    for (;;) {
        const int lead = text.indexOf(markerLead, pos);
        if (lead < 0)
            break;
        // Serialised as ' \x01N=""'.
        int end = lead + 1;
        while (end < text.size() && text.at(end).isDigit())
            ++end;
        const int index = text.midRef(lead + 1, end - lead - 1).toInt();
        out += text.midRef(pos, lead - 1 - pos);
        out += rendered.at(size_t(index));
        pos = end + 3; // past '=""'
    }
    out += text.midRef(pos);
    return out;
}

// Why value cannot stand as element text (or would collide with the
// attribute markers); empty when it can.
QString unsafeText(const QString& value)
{
    for (const QChar c : value) {
        if (c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            return QStringLiteral("it holds a control character");
    }
    return QString();
}

} // namespace

void setElementText(QDomElement& element, const QString& value)
{
    for (QDomNode child = element.firstChild(); !child.isNull(); child = child.nextSibling()) {
        if (child.isText()) { // CDATA sections count as text
            child.setNodeValue(value);
            return;
        }
    }
    qDebug() << "Couldn't set text node; adding one";
    QDomNode text = element.ownerDocument().createTextNode(value);
    element.insertBefore(text, element.firstChild());
}

QStringList osplElementPath()
{
    return {QStringLiteral("OpenSplice"), QStringLiteral("DDSI2Service"), QStringLiteral("General"),
            QStringLiteral("NetworkInterfaceAddress")};
}

osplResult rewriteOsplConfig(const QByteArray& input, const QString& address, QByteArray* output)
{
    output->clear();
    const QString unsafe = unsafeText(address);
    if (!unsafe.isEmpty()) {
        qDebug() << "Not writing" << address << "into the QoS file:" << unsafe;
        return osplResult::unsupported;
    }
    const scan s = scanDocument(input);
    if (!s.ok)
        return s.verdict;
    QDomDocument doc;
    QString message;
    int line = 0;
    int column = 0;
    if (!doc.setContent(withXmlLineEnds(input), false, &message, &line, &column)) {
        qDebug() << "QoS file is not well-formed XML:" << message << "at line" << line << "column" << column
                 << "; not changed";
        return osplResult::malformed;
    }
    QDomNode root = doc.documentElement();
    if (!delve(root, osplElementPath(), address))
        return osplResult::notFound;

    bool known = true;
    QTextCodec* codec = documentCodec(doc, input, &known);
    if (!known || !codec) {
        qDebug() << "QoS file declares an encoding this program cannot write; not changed";
        return osplResult::unsupported;
    }
    const std::vector<QString> rendered = markAttributes(doc, s.attributes, codec);
    QString text;
    {
        QTextStream stream(&text);
        doc.save(stream, 3, QDomNode::EncodingFromDocument);
    }
    text = unmarkAttributes(text, rendered);
    {
        QTextStream stream(output, QIODevice::WriteOnly);
        stream.setCodec(codec);
        // The mark is how readers tell UTF-16 from UTF-8; keep it where it was.
        stream.setGenerateByteOrderMark(startsWithByteOrderMark(input));
        stream << text;
    }
    return *output == input ? osplResult::unchanged : osplResult::written;
}

osplResult updateOsplConfig(const QString& path, const QString& address)
{
    const writerLock lock(path);
    QByteArray input;
    bool missing = false;
    if (!readWholeFile(path, &input, &missing) || missing) {
        qDebug() << "Can't open QoS file for reading";
        return osplResult::unreadable;
    }
    QByteArray output;
    const osplResult r = rewriteOsplConfig(input, address, &output);
    if (r != osplResult::written) {
        if (r == osplResult::unchanged)
            qDebug() << "QoS file already holds" << address << "; not rewritten";
        return r;
    }
    if (!lock.held() || !replaceFile(path, output)) {
        qDebug() << "Can't open QoS file for writing:" << path;
        return osplResult::writeFailed;
    }
    return osplResult::written;
}
