#include "osplDocument.h"
#include "debugLog.h"
#include "osplEncoding.h"

#include <QBuffer>
#include <QRegularExpression>
#include <QSet>
#include <QTextCodec>
#include <QXmlStreamReader>

#include <algorithm>
#include <memory>

// Every debug line here calls the file the "QoS file": operators and their
// log filters know the tool's lines by that wording, so it stays as it is.

using namespace osplEncoding;

namespace {

// Far deeper than any real configuration, and shallow enough that the DOM's
// recursive walks cannot run out of stack.
constexpr int maxDepth = 512;

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
// Blank text is layout, which the DOM's save redoes, except inside the
// elements whose white space is content: those in xml:space="preserve"
// scope, and those holding text beside anything else (mixed content) with
// everything inside them. Mixed content shows only at an element's end, so
// a file that has any is read a second time, told which elements they are.
class domReader
{
public:
    /// Reads input (whose first bytes show bytes, and whose declaration
    /// states decl); mixed lists the elements, by the order of their start
    /// tags, found holding mixed content by an earlier pass.
    domReader(const QByteArray& input, const byteEncoding& bytes, const declaration& decl, std::vector<int> mixed)
        : bytes(bytes), decl(decl), mixedBefore(std::move(mixed)), chars(nullptr)
    {
        // Through a device the reader decodes a few kilobytes at a time;
        // given the bytes themselves it would decode the whole file at once.
        // Told only "UTF-16" or "UTF-32" it would guess the byte order, so a
        // file without a mark is shown the mark of the order its bytes show.
        if (!bytes.markLength && orderLeftToBytes(decl.encoding, bytes)) {
            QTextEncoder encoder(bytes.codec, QTextCodec::IgnoreHeader);
            const QChar mark(QChar::ByteOrderMark);
            device.setData(encoder.fromUnicode(&mark, 1) + input);
        } else {
            device.setData(input);
        }
        device.open(QIODevice::ReadOnly);
        xml.setDevice(&device);
        xml.setNamespaceProcessing(false);
        codec = bytes.codec;
        chars = charset(codec);
        stack.push_back(frame());
    }

    /// Reads it all; false, with a debug line, when it cannot be edited safely.
    bool read()
    {
        while (!xml.atEnd()) {
            bool ok = true;
            const QXmlStreamReader::TokenType token = xml.readNext();
            if (!counted(token))
                return false;
            switch (token) {
            case QXmlStreamReader::StartDocument: ok = startDocument(); break;
            case QXmlStreamReader::DTD: ok = doctype(); break;
            case QXmlStreamReader::StartElement: ok = startElement(); break;
            case QXmlStreamReader::EndElement: ok = endElement(); break;
            case QXmlStreamReader::Characters: ok = characters(); break;
            case QXmlStreamReader::Comment: ok = comment(); break;
            case QXmlStreamReader::ProcessingInstruction: ok = instruction(); break;
            case QXmlStreamReader::EntityReference:
                ok = refuse("refers to an entity declared outside it, which this program cannot read");
                break;
            default: break;
            }
            if (!ok)
                return false;
        }
        if (xml.hasError()) {
            ncDebug() << "QoS file is not well-formed XML:" << xml.errorString() << "at line" << xml.lineNumber()
                     << "column" << xml.columnNumber() << "; not changed";
            verdict = notWellFormed(xml.errorString());
            return false;
        }
        return true;
    }

    outcome verdict = outcome(outcome::malformed, QStringLiteral("it is not well-formed XML")); // when read() fails
    QDomDocument doc;
    QTextCodec* codec;                  // the encoding to write back in
    std::vector<QString> rendered;      // attribute lists behind the markers
    std::vector<int> mixedFound;        // elements (start order) with mixed content, not yet kept
    std::vector<QDomElement> spaceKept; // elements whose white space was kept

private:
    struct frame {
        QDomNode node;
        int ordinal = -1;        // of the start tag; -1 for the document
        bool preserve = false;   // in xml:space="preserve" scope
        bool mixedScope = false; // in an element with mixed content
        bool text = false;       // holds non-blank text or CDATA
        bool other = false;      // holds an element, comment, instruction or blank text
        bool kept() const { return preserve || mixedScope; }
    };

    // Where the reader stopped and why, for the operator as for the log.
    outcome notWellFormed(const QString& why) const
    {
        return {outcome::malformed, QStringLiteral("it is not well-formed XML (line %1, column %2: %3)")
                                        .arg(xml.lineNumber())
                                        .arg(xml.columnNumber())
                                        .arg(QString(why).remove(QRegularExpression(QStringLiteral("\\.$"))))};
    }

    bool malformed(const QString& why)
    {
        ncDebug().noquote() << "QoS file is not well-formed XML:" << why << "at line" << xml.lineNumber() << "column"
                           << xml.columnNumber() << "; not changed";
        verdict = notWellFormed(why);
        return false;
    }

    // Counts the nodes a token makes (an element with attributes two); false
    // once there are more than maxOsplNodes.
    bool counted(QXmlStreamReader::TokenType token)
    {
        switch (token) {
        case QXmlStreamReader::StartElement: nodes += xml.attributes().isEmpty() ? 1 : 2; break;
        case QXmlStreamReader::Characters:
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction: ++nodes; break;
        default: return true;
        }
        if (nodes <= maxOsplNodes)
            return true;
        ncDebug() << "QoS file holds more than" << maxOsplNodes << "elements, attributes and texts; not changed";
        verdict = osplTooLarge();
        return false;
    }

    bool refuse(const QString& why)
    {
        ncDebug().noquote() << "QoS file" << why << "; not changed";
        verdict = osplUnsupported();
        return false;
    }

    // Names take no references: one the encoding cannot hold cannot be written.
    bool writableName(const QStringRef& name)
    {
        if (chars.writes(name))
            return true;
        return refuse(QStringLiteral("has the name %1, which %2 cannot hold, and a name takes no character references")
                          .arg(name, QString::fromLatin1(codec->name())));
    }

    // Names repeat from element to element: one shared copy of each keeps a
    // large file's tree far smaller, and each is checked once.
    bool shared(const QStringRef& name, QString* out)
    {
        const QString n = name.toString();
        auto known = names.constFind(n);
        if (known != names.constEnd()) {
            *out = *known;
            return true;
        }
        if (!writableName(name))
            return false;
        *out = *names.insert(n);
        return true;
    }

    // Where a comment, an instruction or CDATA cannot stand as it is.
    bool undecoded(const QStringRef& text)
    {
        if (!chars.undecoded(text))
            return false;
        malformed(QStringLiteral("it holds bytes that are not %1").arg(QString::fromLatin1(codec->name())));
        return true;
    }

    // The document exists from its first node after the declaration, which
    // is where a DOCTYPE has to be.
    void begin(const QDomDocumentType& type)
    {
        if (started)
            return;
        started = true;
        doc = QDomDocument(type); // unlike QDomDocument(), never a null node
        if (!declarationData.isEmpty())
            doc.appendChild(doc.createProcessingInstruction(QStringLiteral("xml"), declarationData));
        stack.front().node = doc;
    }

    bool startDocument()
    {
        if (xml.documentVersion().isEmpty())
            return true;
        const QString encoding = xml.documentEncoding().toString();
        const bool standalone = decl.standalone == QLatin1String("yes");
        if (encoding != decl.encoding || xml.isStandaloneDocument() != standalone)
            return refuse("has an XML declaration this program cannot read back");
        declarationData = QLatin1String("version='") + xml.documentVersion() + QLatin1Char('\'');
        if (!encoding.isEmpty()) {
            declarationData += QLatin1String(" encoding='") + encoding + QLatin1Char('\'');
            codec = writingCodec(encoding, bytes);
            if (!codec)
                return refuse("declares an encoding this program cannot write");
            chars = charset(codec);
        }
        if (!decl.standalone.isEmpty())
            declarationData += QLatin1String(" standalone='") + decl.standalone + QLatin1Char('\'');
        return true;
    }

    bool doctype()
    {
        // The DOM writes a DOCTYPE back without its internal subset, which
        // would drop the entity declarations the document relies on.
        if (xml.text().contains(QLatin1Char('[')))
            return refuse("has a DOCTYPE with an internal subset, which a rewrite would lose");
        // It also writes the DOCTYPE first, ahead of whatever came before it.
        if (beforeDoctype)
            return refuse("has a comment or instruction before its DOCTYPE, which a rewrite would move");
        if (!validName(xml.dtdName()))
            return malformed(QStringLiteral("the DOCTYPE's name is not a name"));
        if (!writableName(xml.dtdName()) || !writableName(xml.dtdPublicId()) || !writableName(xml.dtdSystemId()))
            return false;
        begin(QDomImplementation().createDocumentType(xml.dtdName().toString(), xml.dtdPublicId().toString(),
                                                      xml.dtdSystemId().toString()));
        return true;
    }

    bool startElement()
    {
        begin(QDomDocumentType());
        if (int(stack.size()) > maxDepth)
            return refuse("nests elements deeper than 512 levels");
        const QXmlStreamAttributes attributes = xml.attributes();
        bool valid = validName(xml.qualifiedName());
        for (const QXmlStreamAttribute& a : attributes)
            valid = valid && validName(a.qualifiedName()) && !hasControl(a.value());
        if (!valid)
            return malformed(QStringLiteral("a name or an attribute value holds a character XML does not allow there"));
        QString name;
        if (!shared(xml.qualifiedName(), &name))
            return false;
        QDomElement e = doc.createElement(name);

        frame& parent = stack.back();
        parent.other = true;
        frame f;
        f.ordinal = ordinal++;
        f.preserve = parent.preserve;
        f.mixedScope = parent.mixedScope;
        if (next < mixedBefore.size() && mixedBefore[next] == f.ordinal) {
            ++next;
            f.mixedScope = true;
        }

        for (const QXmlStreamAttribute& a : attributes) {
            if (undecoded(a.value()))
                return false;
            if (a.qualifiedName() == QLatin1String("xml:space")) {
                if (a.value() == QLatin1String("preserve"))
                    f.preserve = true;
                else if (a.value() == QLatin1String("default"))
                    f.preserve = false;
            }
        }
        if (attributes.size() > 1) {
            QString text;
            for (const QXmlStreamAttribute& a : attributes) {
                QString attributeName;
                if (!shared(a.qualifiedName(), &attributeName))
                    return false;
                text += QLatin1Char(' ') + attributeName + QLatin1String("=\"") + escapedAttribute(a.value(), chars)
                        + QLatin1Char('"');
            }
            e.setAttribute(markerName(int(rendered.size())), QString());
            rendered.push_back(text);
        } else if (attributes.size() == 1) {
            QString attributeName;
            if (!shared(attributes[0].qualifiedName(), &attributeName))
                return false;
            e.setAttribute(attributeName, chars.referenced(attributes[0].value(), referenceMarker));
        }
        f.node = parent.node.appendChild(e);
        if (f.kept())
            spaceKept.push_back(e);
        stack.push_back(f);
        return true;
    }

    bool endElement()
    {
        const frame& f = stack.back();
        if (f.text && f.other && !f.kept())
            mixedFound.push_back(f.ordinal);
        stack.pop_back();
        return true;
    }

    bool characters()
    {
        const QStringRef text = xml.text();
        if (hasControl(text))
            return malformed(QStringLiteral("the text holds a control character"));
        frame& f = stack.back();
        if (stack.size() == 1) // blank text around the document element
            return true;
        if (xml.isWhitespace() && !xml.isCDATA()) {
            f.other = true;
            if (f.kept())
                f.node.appendChild(doc.createTextNode(text.toString()));
            return true;
        }
        f.text = true;
        if (undecoded(text))
            return false;
        if (xml.isCDATA() && chars.writes(text)) {
            f.node.appendChild(doc.createCDATASection(text.toString()));
            return true;
        }
        if (xml.isCDATA())
            ncDebug() << "QoS file: CDATA in" << f.node.nodeName() << "holds characters" << codec->name()
                      << "cannot hold; written as text with character references";
        f.node.appendChild(doc.createTextNode(chars.referenced(text, referenceMarker)));
        return true;
    }

    bool comment()
    {
        const QStringRef text = xml.text();
        if (hasControl(text))
            return malformed(QStringLiteral("a comment holds a control character"));
        if (undecoded(text))
            return false;
        if (!chars.writes(text))
            return refuse(QStringLiteral("has a comment holding characters %1 cannot hold, which a comment cannot "
                                         "write as references")
                              .arg(QString::fromLatin1(codec->name())));
        begin(QDomDocumentType());
        beforeDoctype = beforeDoctype || stack.size() == 1;
        stack.back().other = true;
        stack.back().node.appendChild(doc.createComment(text.toString()));
        return true;
    }

    bool instruction()
    {
        const QStringRef target = xml.processingInstructionTarget();
        const QStringRef data = xml.processingInstructionData();
        if (!validName(target) || hasControl(data))
            return malformed(QStringLiteral("an instruction holds a character XML does not allow there"));
        if (undecoded(data) || !writableName(target))
            return false;
        if (!chars.writes(data))
            return refuse(QStringLiteral("has an instruction holding characters %1 cannot hold, which an instruction "
                                         "cannot write as references")
                              .arg(QString::fromLatin1(codec->name())));
        frame& f = stack.back();
        // The DOM ends every instruction with a line break of its own.
        if (f.kept())
            return refuse(QStringLiteral("has an instruction in %1, whose white space is content; a rewrite would "
                                         "add a line break after it")
                              .arg(f.node.nodeName()));
        begin(QDomDocumentType());
        beforeDoctype = beforeDoctype || stack.size() == 1;
        f.other = true;
        f.node.appendChild(doc.createProcessingInstruction(target.toString(), data.toString()));
        return true;
    }

    const byteEncoding bytes;
    const declaration decl;
    const std::vector<int> mixedBefore;
    size_t next = 0; // in mixedBefore
    int ordinal = 0;
    QBuffer device;
    QXmlStreamReader xml;
    charset chars;
    QString declarationData;
    bool started = false;
    bool beforeDoctype = false; // a comment or instruction seen at the top level
    std::vector<frame> stack;
    QSet<QString> names;
    qint64 nodes = 0;
};

// An attribute value as escapedAttribute wrote it, read back as XML reads it.
QString unescaped(const QString& written)
{
    static const QRegularExpression reference(QStringLiteral("&(lt|gt|amp|quot|#x([0-9a-f]+));"));
    QString out;
    int pos = 0;
    for (auto it = reference.globalMatch(written); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        out += written.midRef(pos, m.capturedStart() - pos);
        const QString what = m.captured(1);
        if (what == QLatin1String("lt"))
            out += QLatin1Char('<');
        else if (what == QLatin1String("gt"))
            out += QLatin1Char('>');
        else if (what == QLatin1String("amp"))
            out += QLatin1Char('&');
        else if (what == QLatin1String("quot"))
            out += QLatin1Char('"');
        else {
            const uint c = m.captured(2).toUInt(nullptr, 16);
            out += QString::fromUcs4(&c, 1);
        }
        pos = m.capturedEnd();
    }
    return out + written.midRef(pos);
}

// The value of attribute name in a list of attributes as startElement
// rendered it (' a="v" b="w"'); null when it is not there.
QString renderedAttribute(const QString& list, const QString& name)
{
    for (int pos = 0; pos < list.size();) {
        const int equals = list.indexOf(QLatin1String("=\""), pos);
        const int close = list.indexOf(QLatin1Char('"'), equals + 2);
        if (equals < 0 || close < 0)
            break;
        if (list.midRef(pos + 1, equals - pos - 1) == name)
            return unescaped(list.mid(equals + 2, close - equals - 2));
        pos = close + 1;
    }
    return QString();
}

} // namespace

outcome osplTooLarge()
{
    return {outcome::tooLarge, QStringLiteral("it is larger than %1 MiB or holds more than %2 elements, attributes and "
                                              "texts (or its rewrite would), far more than any DDS configuration holds")
                                   .arg(maxOsplBytes >> 20)
                                   .arg(maxOsplNodes)};
}

outcome osplUnsupported()
{
    return {outcome::unsupported, QStringLiteral("rewriting it would lose or change part of it")};
}

osplDocument::osplDocument(const QByteArray& input)
{
    const byteEncoding bytes = encodingOfBytes(input);
    const declaration decl = declared(input, bytes);
    auto reader = std::make_unique<domReader>(input, bytes, decl, std::vector<int>());
    if (!reader->read()) {
        verdict_ = reader->verdict;
        return;
    }
    if (!reader->mixedFound.empty()) {
        std::vector<int> mixed = std::move(reader->mixedFound);
        std::sort(mixed.begin(), mixed.end());
        reader.reset(); // one tree at a time
        reader = std::make_unique<domReader>(input, bytes, decl, std::move(mixed));
        if (!reader->read()) {
            verdict_ = reader->verdict;
            return;
        }
    }
    doc = reader->doc;
    codec = reader->codec;
    rendered = std::move(reader->rendered);
    spaceKept = std::move(reader->spaceKept);
    // The mark is how readers tell UTF-16 from UTF-8; keep it where it was.
    byteOrderMark = bytes.markLength > 0;
}

osplDocument::~osplDocument() = default;

QString osplDocument::attribute(const QDomElement& element, const QString& name) const
{
    const QDomNamedNodeMap attributes = element.attributes();
    if (attributes.count() != 1)
        return QString();
    // One attribute the DOM holds itself; several behind a marker, as read.
    const QDomAttr only = attributes.item(0).toAttr();
    if (only.name().startsWith(attributeMarker))
        return renderedAttribute(rendered.at(size_t(only.name().midRef(1).toInt())), name);
    return only.name() == name ? unmarked(only.value()) : QString();
}
