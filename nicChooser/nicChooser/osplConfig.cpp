#include "osplConfig.h"
#include "fileReplace.h"

#include <QBuffer>
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

// The standalone value the declaration states ("yes", "no"), empty when
// it states none; the reader only tells whether the document is standalone.
QString declaredStandalone(const QByteArray& input)
{
    QTextCodec* codec = QTextCodec::codecForUtfText(input, QTextCodec::codecForName("UTF-8"));
    const QString head = codec->toUnicode(input.left(512));
    static const QRegularExpression standalone(
        QStringLiteral("^\\s*<\\?xml\\s[^>]*?standalone\\s*=\\s*[\"']([a-z]+)[\"']"));
    return standalone.match(head).captured(1);
}

// XML 1.0 allows no C0 control character but tab, line feed and carriage
// return, yet the streaming reader lets some through in names; one would
// also pass for an attribute marker.
bool hasControl(const QStringRef& text)
{
    for (const QChar c : text)
        if (c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            return true;
    return false;
}

// Whether name is an XML name: letters, and after the first also digits,
// marks, '.', '-' and the middle dot. The streaming reader lets some other
// characters through, which it then refuses to read back.
bool validName(const QStringRef& name)
{
    if (name.isEmpty())
        return false;
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        const ushort u = c.unicode();
        const QChar::Category cat = c.category();
        const bool start = u == '_' || u == ':' || c.isLetter() || cat == QChar::Number_Letter;
        const bool more = u == '.' || u == '-' || u == 0xB7 || cat == QChar::Number_DecimalDigit
                          || cat == QChar::Mark_NonSpacing || cat == QChar::Mark_SpacingCombining
                          || cat == QChar::Mark_Enclosing;
        if (!start && !(i > 0 && more))
            return false;
    }
    return true;
}

// The document as the toolkit's DOM, built from one pass of the streaming
// reader. That reader follows XML's rules where the DOM's own parser does
// not (line ends, white space typed in attribute values, undeclared
// entities), and keeps the attributes' order, which the DOM's hash loses.
struct parsed {
    osplResult verdict = osplResult::malformed; // when doc is null
    QDomDocument doc;
    QTextCodec* codec = nullptr;    // the encoding to write back in
    std::vector<QString> rendered;  // attribute lists behind the markers
};

parsed readDocument(const QByteArray& input)
{
    parsed p;
    QDomDocument doc;
    p.codec = QTextCodec::codecForUtfText(input, QTextCodec::codecForName("UTF-8"));
    // Through a device the reader decodes a few kilobytes at a time; given
    // the bytes themselves it would decode the whole file at once.
    QBuffer device;
    device.setData(input);
    device.open(QIODevice::ReadOnly);
    QXmlStreamReader reader(&device);
    reader.setNamespaceProcessing(false);
    QString declaration;
    bool started = false;
    bool beforeDoctype = false; // a comment or instruction seen at the top level
    QDomNode parent;
    int depth = 0;
    // Names repeat from element to element: one shared copy of each keeps a
    // large file's tree far smaller.
    QSet<QString> names;
    auto shared = [&names](const QStringRef& name) {
        const QString n = name.toString();
        auto known = names.constFind(n);
        return known != names.constEnd() ? *known : *names.insert(n);
    };
    auto malformed = [&p, &reader](const char* why) {
        qDebug() << "QoS file is not well-formed XML:" << why << "at line" << reader.lineNumber() << "column"
                 << reader.columnNumber() << "; not changed";
        p.verdict = osplResult::malformed;
        return p;
    };
    auto refuse = [&p](const char* why) {
        qDebug() << "QoS file" << why << "; not changed";
        p.verdict = osplResult::unsupported;
        return p;
    };
    // The document exists from its first node after the declaration, which
    // is where a DOCTYPE has to be.
    auto begin = [&](const QDomDocumentType& type) {
        if (started)
            return;
        started = true;
        doc = QDomDocument(type); // unlike QDomDocument(), never a null node
        if (!declaration.isEmpty())
            doc.appendChild(doc.createProcessingInstruction(QStringLiteral("xml"), declaration));
        parent = doc;
    };

    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartDocument: {
            if (reader.documentVersion().isEmpty())
                break;
            declaration = QLatin1String("version='") + reader.documentVersion() + QLatin1Char('\'');
            const QString encoding = reader.documentEncoding().toString();
            if (!encoding.isEmpty()) {
                declaration += QLatin1String(" encoding='") + encoding + QLatin1Char('\'');
                p.codec = QTextCodec::codecForName(encoding.toLatin1());
                if (!p.codec)
                    return refuse("declares an encoding this program cannot write");
            }
            const QString standalone = declaredStandalone(input);
            if (!standalone.isEmpty())
                declaration += QLatin1String(" standalone='") + standalone + QLatin1Char('\'');
            break;
        }
        case QXmlStreamReader::DTD:
            // The DOM writes a DOCTYPE back without its internal subset, which
            // would drop the entity declarations the document relies on.
            if (reader.text().contains(QLatin1Char('[')))
                return refuse("has a DOCTYPE with an internal subset, which a rewrite would lose");
            // It also writes the DOCTYPE first, ahead of whatever came before it.
            if (beforeDoctype)
                return refuse("has a comment or instruction before its DOCTYPE, which a rewrite would move");
            if (!validName(reader.dtdName()))
                return malformed("the DOCTYPE's name is not a name");
            begin(QDomImplementation().createDocumentType(reader.dtdName().toString(), reader.dtdPublicId().toString(),
                                                          reader.dtdSystemId().toString()));
            break;
        case QXmlStreamReader::StartElement: {
            begin(QDomDocumentType());
            if (++depth > maxDepth)
                return refuse("nests elements deeper than 512 levels");
            const QXmlStreamAttributes attributes = reader.attributes();
            bool valid = validName(reader.qualifiedName());
            for (const QXmlStreamAttribute& a : attributes)
                valid = valid && validName(a.qualifiedName()) && !hasControl(a.value());
            if (!valid)
                return malformed("a name or an attribute value holds a character XML does not allow there");
            QDomElement e = doc.createElement(shared(reader.qualifiedName()));
            if (attributes.size() > 1) {
                QString text;
                for (const QXmlStreamAttribute& a : attributes)
                    text += QLatin1Char(' ') + a.qualifiedName() + QLatin1String("=\"")
                            + escapedAttribute(a.value().toString(), p.codec) + QLatin1Char('"');
                e.setAttribute(markerName(int(p.rendered.size())), QString());
                p.rendered.push_back(text);
            } else if (attributes.size() == 1) {
                e.setAttribute(shared(attributes[0].qualifiedName()), attributes[0].value().toString());
            }
            parent = parent.appendChild(e);
            break;
        }
        case QXmlStreamReader::EndElement:
            --depth;
            parent = parent.parentNode();
            break;
        case QXmlStreamReader::Characters:
            if (hasControl(reader.text()))
                return malformed("the text holds a control character");
            // Blank text between elements is layout, which the save redoes.
            if (reader.isCDATA())
                parent.appendChild(doc.createCDATASection(reader.text().toString()));
            else if (!reader.isWhitespace())
                parent.appendChild(doc.createTextNode(reader.text().toString()));
            break;
        case QXmlStreamReader::Comment:
            if (hasControl(reader.text()))
                return malformed("a comment holds a control character");
            begin(QDomDocumentType());
            beforeDoctype = beforeDoctype || depth == 0;
            parent.appendChild(doc.createComment(reader.text().toString()));
            break;
        case QXmlStreamReader::ProcessingInstruction:
            if (!validName(reader.processingInstructionTarget()) || hasControl(reader.processingInstructionData()))
                return malformed("an instruction holds a character XML does not allow there");
            begin(QDomDocumentType());
            beforeDoctype = beforeDoctype || depth == 0;
            parent.appendChild(doc.createProcessingInstruction(reader.processingInstructionTarget().toString(),
                                                                 reader.processingInstructionData().toString()));
            break;
        case QXmlStreamReader::EntityReference:
            return refuse("refers to an entity declared outside it, which this program cannot read");
        default:
            break;
        }
    }
    if (reader.hasError()) {
        qDebug() << "QoS file is not well-formed XML:" << reader.errorString() << "at line"
                 << reader.lineNumber() << "column" << reader.columnNumber() << "; not changed";
        p.verdict = osplResult::malformed;
        return p;
    }
    p.doc = doc;
    return p;
}

// The serialised text in the file's encoding, each marker replaced by the
// attribute list it stands for; piece by piece, so that no second copy of a
// large document is ever held.
QByteArray encodeUnmarked(const QString& text, const std::vector<QString>& rendered, QTextCodec* codec,
                          bool byteOrderMark)
{
    QTextEncoder encoder(codec, QTextCodec::IgnoreHeader);
    QByteArray out;
    if (byteOrderMark) {
        const QChar mark(0xFEFF);
        out += encoder.fromUnicode(&mark, 1);
    }
    int pos = 0;
    for (;;) {
        const int lead = rendered.empty() ? -1 : text.indexOf(markerLead, pos);
        if (lead < 0)
            break;
        // Serialised as ' \x01N=""'.
        int end = lead + 1;
        while (end < text.size() && text.at(end).isDigit())
            ++end;
        const int index = text.midRef(lead + 1, end - lead - 1).toInt();
        out += encoder.fromUnicode(text.constData() + pos, lead - 1 - pos);
        const QString& attributes = rendered.at(size_t(index));
        out += encoder.fromUnicode(attributes.constData(), attributes.size());
        pos = end + 3; // past '=""'
    }
    out += encoder.fromUnicode(text.constData() + pos, text.size() - pos);
    return out;
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

QString osplValueProblem(const QString& value)
{
    for (const QChar c : value) {
        if (c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            return QStringLiteral("it holds a control character");
    }
    return QString();
}

osplDocument::osplDocument(const QByteArray& input)
{
    parsed p = readDocument(input);
    verdict_ = p.verdict;
    doc = p.doc;
    codec = p.codec;
    rendered = std::move(p.rendered);
    // The mark is how readers tell UTF-16 from UTF-8; keep it where it was.
    byteOrderMark = startsWithByteOrderMark(input);
}

osplDocument::~osplDocument() = default;

QByteArray osplDocument::serialised() const
{
    QString text;
    {
        QTextStream stream(&text);
        doc.save(stream, 3, QDomNode::EncodingFromDocument);
    }
    return encodeUnmarked(text, rendered, codec, byteOrderMark);
}
