#include "osplConfig.h"
#include "debugLog.h"
#include "fileReplace.h"

#include <QBuffer>
#include <QDomDocument>
#include <QHash>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>
#include <QTextCodec>
#include <QTextStream>
#include <QXmlStreamReader>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

// Every debug line here calls the file the "QoS file": operators and their
// log filters know the tool's lines by that wording, so it stays as it is.

namespace {

// Far deeper than any real configuration, and shallow enough that the DOM's
// recursive walks cannot run out of stack.
constexpr int maxDepth = 512;

// XML 1.0 allows no C0 control character but tab, line feed and carriage
// return, yet the streaming reader lets some through in names. With none
// left anywhere in the document, the two markers below cannot be mistaken
// for anything the file holds.
bool hasControl(const QChar* text, int size)
{
    for (int i = 0; i < size; ++i) {
        const ushort u = text[i].unicode();
        if (u < 0x20 && u != '\t' && u != '\n' && u != '\r')
            return true;
    }
    return false;
}

bool hasControl(const QStringRef& text)
{
    return hasControl(text.unicode(), text.size());
}

// The DOM keeps attributes in a hash, so it writes them in an order that
// changes from process to process. Elements with more than one attribute get
// a single attribute named attributeMarker + N instead; after serialising,
// each is replaced by the element's attributes in their original order.
const QChar attributeMarker(0x1);
// The DOM escapes every '&' it writes, and it writes a character beyond
// U+FFFF that the encoding cannot hold as two references to its surrogate
// halves, which no parser accepts. Such characters are held in the DOM as
// referenceMarker + "#x...;" and the marker becomes the reference's '&'.
const QChar referenceMarker(0x2);

QString markerName(int index)
{
    return attributeMarker + QString::number(index);
}

bool isBlank(const QString& text)
{
    for (const QChar c : text)
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t') && c != QLatin1Char('\n') && c != QLatin1Char('\r'))
            return false;
    return true;
}

// What the file's encoding can hold. The DOM's serialiser asks about each
// UTF-16 unit on its own, so outside the Unicode encodings a character
// beyond U+FFFF always takes a reference in text and attribute values.
class charset
{
public:
    explicit charset(QTextCodec* codec) : codec(codec)
    {
        const int mib = codec ? codec->mibEnum() : 106;
        if (mib == 106 || (mib >= 1013 && mib <= 1015) || (mib >= 1017 && mib <= 1019))
            kind = unicode;
        else if (mib == 4)
            kind = latin1;
        else
            kind = other;
    }

    /// Whether text can be written as it stands (names, comments, instructions, CDATA).
    bool writes(const QStringRef& text) const
    {
        switch (kind) {
        case unicode: return true;
        case latin1: return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x100; });
        default: return codec->canEncode(QStringView(text.unicode(), text.size()));
        }
    }

    /// Whether text holds U+FFFD where the encoding cannot hold it: the
    /// decoder's stand-in for bytes it did not understand.
    bool undecoded(const QStringRef& text) const
    {
        return kind == other && text.contains(QChar(QChar::ReplacementCharacter))
               && !codec->canEncode(QChar(QChar::ReplacementCharacter));
    }

    /// Whether the character c needs a reference in text or an attribute value.
    bool needsReference(uint c) const
    {
        switch (kind) {
        case unicode: return false;
        case latin1: return c >= 0x100;
        default: return c > 0xFFFF || !codec->canEncode(QChar(ushort(c)));
        }
    }

    /// The text with a reference for each character that needs one; escape
    /// is what begins a reference.
    QString referenced(const QStringRef& text, const QString& escape) const
    {
        if (kind == unicode || (kind == latin1 && writes(text))
            || (kind == other && !hasSurrogates(text) && writes(text)))
            return text.toString();
        QString out;
        out.reserve(text.size() + 16);
        for (int i = 0; i < text.size(); ++i) {
            uint c = text.at(i).unicode();
            int units = 1;
            if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
                c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
                units = 2;
            }
            if (needsReference(c))
                out += escape + QLatin1String("#x") + QString::number(c, 16) + QLatin1Char(';');
            else
                out += text.mid(i, units);
            i += units - 1;
        }
        return out;
    }

private:
    static bool hasSurrogates(const QStringRef& text)
    {
        return std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSurrogate(); });
    }

    QTextCodec* codec;
    enum { unicode, latin1, other } kind;
};

// An attribute value as the DOM serialiser escapes it, with references
// where the encoding needs them.
QString escapedAttribute(const QStringRef& raw, const charset& chars)
{
    const QString value = chars.referenced(raw, referenceMarker);
    QString out;
    out.reserve(value.size());
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        switch (c.unicode()) {
        case 0x2: out += QLatin1Char('&'); break; // a reference just made
        case '<': out += QLatin1String("&lt;"); break;
        case '&': out += QLatin1String("&amp;"); break;
        case '"': out += QLatin1String("&quot;"); break;
        case '\n': out += QLatin1String("&#xa;"); break;
        case '\r': out += QLatin1String("&#xd;"); break;
        case '\t': out += QLatin1String("&#x9;"); break;
        case '>':
            out += i >= 2 && value.at(i - 1) == QLatin1Char(']') && value.at(i - 2) == QLatin1Char(']')
                       ? QLatin1String("&gt;")
                       : QLatin1String(">");
            break;
        default: out += c;
        }
    }
    return out;
}

// The encoding the first bytes show, decided as the streaming reader decides
// it: a byte-order mark, else where the first '<' falls in UTF-16 or UTF-32;
// UTF-8 otherwise.
struct byteEncoding {
    QTextCodec* codec;
    int markLength; // 0 without a byte-order mark
};

byteEncoding encodingOfBytes(const QByteArray& input)
{
    struct rule {
        const char* bytes;
        int size;
        int mib;
        bool mark;
    };
    static const rule rules[] = {
        {"\x00\x00\xFE\xFF", 4, 1018, true}, {"\xFF\xFE\x00\x00", 4, 1019, true}, {"\x00\x00\x00<", 4, 1018, false},
        {"<\x00\x00\x00", 4, 1019, false},   {"\xEF\xBB\xBF", 3, 106, true},      {"\xFE\xFF", 2, 1013, true},
        {"\xFF\xFE", 2, 1014, true},         {"\x00<", 2, 1013, false},           {"<\x00", 2, 1014, false},
    };
    for (const rule& r : rules)
        if (input.size() >= r.size && std::memcmp(input.constData(), r.bytes, size_t(r.size)) == 0)
            return {QTextCodec::codecForMib(r.mib), r.mark ? r.size : 0};
    return {QTextCodec::codecForMib(106), 0};
}

bool isWide(const QTextCodec* codec, int bits)
{
    const int mib = codec->mibEnum();
    return bits == 16 ? mib == 1013 || mib == 1014 : mib == 1018 || mib == 1019;
}

// What the XML declaration states, read ahead of the streaming reader: it
// has to be told the byte order of UTF-16 without a mark, and it only says
// whether a document is standalone, not what the declaration wrote.
struct declaration {
    QString encoding;   // as written; empty when not stated
    QString standalone; // as written; empty when not stated
};

declaration declared(const QByteArray& input, const byteEncoding& bytes)
{
    declaration d;
    const QString head = bytes.codec->toUnicode(input.mid(bytes.markLength, 1024));
    static const QRegularExpression xmlDecl(QStringLiteral("^<\\?xml\\s([^?>]*)\\?>"));
    static const QRegularExpression encoding(QStringLiteral("\\bencoding\\s*=\\s*([\"'])([^\"']*)\\1"));
    static const QRegularExpression standalone(QStringLiteral("\\bstandalone\\s*=\\s*([\"'])([^\"']*)\\1"));
    const QRegularExpressionMatch m = xmlDecl.match(head);
    if (!m.hasMatch())
        return d;
    const QString body = m.captured(1);
    d.encoding = encoding.match(body).captured(2);
    d.standalone = standalone.match(body).captured(2);
    return d;
}

// Whether the declared encoding names only "UTF-16" or "UTF-32" (and not
// the byte order), and the bytes show that encoding.
bool orderLeftToBytes(const QString& encoding, const byteEncoding& bytes)
{
    return (isWide(bytes.codec, 16) && encoding.compare(QLatin1String("UTF-16"), Qt::CaseInsensitive) == 0)
           || (isWide(bytes.codec, 32) && encoding.compare(QLatin1String("UTF-32"), Qt::CaseInsensitive) == 0);
}

// The encoding to write in: the one the declaration names, in the byte order
// the bytes show when it leaves that open; without a declared encoding, the
// one the bytes show. Null when unknown.
QTextCodec* writingCodec(const QString& encoding, const byteEncoding& bytes)
{
    if (encoding.isEmpty() || orderLeftToBytes(encoding, bytes))
        return bytes.codec;
    return QTextCodec::codecForName(encoding.toLatin1());
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

// The DOM lays out what it writes: a line break after a start tag whose
// first child is not text, between two children neither of which is text,
// and before an end tag whose last child is not text. An empty text node in
// each such place inside the elements whose white space is content stops
// that; the nodes are returned so they can go again.
std::vector<QDomNode> keepSpace(const std::vector<QDomElement>& elements)
{
    std::vector<QDomNode> added;
    for (QDomElement e : elements) {
        QDomNode before; // the previous child, null at the start
        for (QDomNode child = e.firstChild(); !child.isNull(); child = child.nextSibling()) {
            if (!child.isText() && (before.isNull() || !before.isText()))
                added.push_back(e.insertBefore(e.ownerDocument().createTextNode(QString()), child));
            before = child;
        }
        if (!before.isNull() && !before.isText())
            added.push_back(e.appendChild(e.ownerDocument().createTextNode(QString())));
    }
    return added;
}

// The spaces the DOM's serialiser puts before elements (three a level, on
// the lines of their start and end tags unless text runs up to them): a
// lower bound of a rewrite's size, known before any text is made.
qint64 savedIndentation(const QDomDocument& doc)
{
    qint64 spaces = 0;
    std::vector<std::pair<QDomNode, int>> pending{{doc.documentElement(), 0}};
    while (!pending.empty()) {
        const QDomNode node = pending.back().first;
        const int depth = pending.back().second;
        pending.pop_back();
        if (!node.isElement())
            continue;
        if (!node.previousSibling().isText())
            spaces += 3 * depth;
        if (node.hasChildNodes() && !node.lastChild().isText())
            spaces += 3 * depth;
        for (QDomNode child = node.firstChild(); !child.isNull(); child = child.nextSibling())
            pending.emplace_back(child, depth + 1);
    }
    return spaces;
}

// The serialised text in the file's encoding, with the markers resolved;
// piece by piece, so that no second copy of a large document is ever held.
// Null when the encoding cannot hold some of it: written, it would be lost.
QByteArray encodeUnmarked(const QString& text, const std::vector<QString>& rendered, QTextCodec* codec,
                          bool byteOrderMark)
{
    QTextEncoder encoder(codec, QTextCodec::IgnoreHeader);
    QByteArray out;
    if (byteOrderMark) {
        const QChar mark(QChar::ByteOrderMark);
        out += encoder.fromUnicode(&mark, 1);
    }
    const QChar ampersand(QLatin1Char('&'));
    int pos = 0;
    int attributes = rendered.empty() ? -1 : text.indexOf(attributeMarker);
    int reference = text.indexOf(referenceMarker);
    while (attributes >= 0 || reference >= 0) {
        if (reference >= 0 && (attributes < 0 || reference < attributes)) {
            out += encoder.fromUnicode(text.constData() + pos, reference - pos);
            out += encoder.fromUnicode(&ampersand, 1);
            pos = reference + 1;
            reference = text.indexOf(referenceMarker, pos);
            continue;
        }
        // Serialised as ' \x01N=""'.
        int end = attributes + 1;
        while (end < text.size() && text.at(end).isDigit())
            ++end;
        const int index = text.midRef(attributes + 1, end - attributes - 1).toInt();
        out += encoder.fromUnicode(text.constData() + pos, attributes - 1 - pos);
        const QString& list = rendered.at(size_t(index));
        out += encoder.fromUnicode(list.constData(), list.size());
        pos = end + 3; // past '=""'
        attributes = text.indexOf(attributeMarker, pos);
    }
    out += encoder.fromUnicode(text.constData() + pos, text.size() - pos);
    if (encoder.hasFailure()) {
        ncDebug() << "QoS file: the rewrite holds characters" << codec->name() << "cannot hold; not changed";
        return QByteArray();
    }
    return out;
}

// The encoding the document's own declaration names; null when it names
// none, which leaves the file in a Unicode encoding.
QTextCodec* declaredCodec(const QDomDocument& doc)
{
    const QDomNode first = doc.firstChild();
    if (!first.isProcessingInstruction() || first.nodeName() != QLatin1String("xml"))
        return nullptr;
    static const QRegularExpression encoding(QStringLiteral("\\bencoding\\s*=\\s*'([^']*)'"));
    const QString name = encoding.match(first.nodeValue()).captured(1);
    return name.isEmpty() ? nullptr : QTextCodec::codecForName(name.toLatin1());
}

// Text as XML reads it from what the DOM holds: each reference made for a
// character the encoding cannot hold (see referenceMarker) resolved.
QString unmarked(const QString& held)
{
    int at = held.indexOf(referenceMarker);
    if (at < 0)
        return held;
    QString out;
    int pos = 0;
    for (; at >= 0; at = held.indexOf(referenceMarker, pos)) {
        out += held.midRef(pos, at - pos);
        const int end = held.indexOf(QLatin1Char(';'), at); // after the marker, "#x" and the hex digits
        const uint c = held.midRef(at + 3, end - at - 3).toUInt(nullptr, 16);
        out += QString::fromUcs4(&c, 1);
        pos = end + 1;
    }
    return out + held.midRef(pos);
}

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

void setElementText(QDomElement& element, const QString& value)
{
    QDomNode target;
    std::vector<QDomNode> pieces; // further text, which would run on after the value
    for (QDomNode child = element.firstChild(); !child.isNull(); child = child.nextSibling()) {
        if (!child.isText()) // CDATA sections count as text
            continue;
        if (!isBlank(child.nodeValue())) {
            if (!target.isNull() && !isBlank(target.nodeValue()))
                pieces.push_back(child);
            else
                target = child;
        } else if (target.isNull()) {
            target = child;
        }
    }
    // The element's text is all its text nodes together: "10.1<!--x-->.0.5"
    // reads as 10.1.0.5, so the value takes the place of every piece.
    if (!pieces.empty())
        ncDebug() << element.nodeName() << "held its text in" << pieces.size() + 1
                  << "pieces; the value replaces them all";
    for (QDomNode& piece : pieces)
        element.removeChild(piece);
    const charset chars(declaredCodec(element.ownerDocument()));
    const QStringRef whole(&value);
    const QString referenced = chars.referenced(whole, referenceMarker);
    if (!target.isNull()) {
        if (!target.isCDATASection())
            target.setNodeValue(referenced);
        else if (chars.writes(whole))
            target.setNodeValue(value);
        else // CDATA cannot hold references; text can, with the same meaning
            element.replaceChild(element.ownerDocument().createTextNode(referenced), target);
        return;
    }
    ncDebug() << "Couldn't set text node; adding one";
    element.insertBefore(element.ownerDocument().createTextNode(referenced), element.firstChild());
}

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

outcome osplValueAllowed(const QString& value)
{
    if (hasControl(value.constData(), value.size()))
        return {outcome::unsupported, QStringLiteral("the address holds a control character")};
    return outcome::done;
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

QByteArray osplDocument::serialised(outcome* verdict) const
{
    auto refused = [verdict](const outcome& why) {
        if (verdict)
            *verdict = why;
        return QByteArray();
    };
    // The spacing nodes go again once written: the document is left as it was.
    const std::vector<QDomNode> spacers = keepSpace(spaceKept);
    const auto removeSpacers = [&spacers] {
        for (QDomNode spacer : spacers)
            spacer.parentNode().removeChild(spacer);
    };
    const qint64 indentation = savedIndentation(doc);
    if (indentation > maxOsplBytes) {
        removeSpacers();
        ncDebug() << "QoS file: its rewrite would hold" << indentation << "bytes of indentation alone, more than"
                 << maxOsplBytes << "; not changed";
        return refused(osplTooLarge());
    }
    QString text;
    {
        QTextStream stream(&text);
        doc.save(stream, 3, QDomNode::EncodingFromDocument);
    }
    removeSpacers();
    const QByteArray out = encodeUnmarked(text, rendered, codec, byteOrderMark);
    if (out.isNull())
        return refused(osplUnsupported());
    if (out.size() > maxOsplBytes) {
        ncDebug() << "QoS file: its rewrite would be" << out.size() << "bytes, more than" << maxOsplBytes
                 << "; not changed";
        return refused(osplTooLarge());
    }
    return out;
}

outcome rewriteOsplConfig(const QByteArray& input, const QString& address, osplWalk walk, QByteArray* output,
                          osplBinding* binding)
{
    output->clear();
    const outcome allowed = osplValueAllowed(address);
    if (!allowed.ok()) {
        ncDebug() << "Not writing" << address << "into the QoS file:" << allowed.reason();
        return allowed;
    }
    if (input.size() > maxOsplBytes) {
        ncDebug() << "QoS file is" << input.size() << "bytes, more than" << maxOsplBytes << "; not changed";
        return osplTooLarge();
    }
    osplDocument doc(input);
    if (doc.isNull())
        return doc.verdict();
    const osplBinding before = doc.binding();
    if (binding)
        *binding = before;
    const outcome accepted = osplAddressAccepted(before, address);
    if (!accepted.ok()) {
        ncDebug().noquote() << "QoS file:" << accepted.reason() << "; not changed";
        return accepted;
    }
    const QStringList path = osplElementPath();
    QDomNode root = doc.documentElement();
    if (!walk(root, path, address)) {
        // "QoS file" is how the tool's log lines have always named it; kept as it is.
        const QStringList reached = osplPathReached(doc.documentElement());
        if (reached.isEmpty())
            ncDebug() << "QoS file's document element is" << doc.documentElement().nodeName() << ", not" << path.first()
                     << "; not changed";
        else
            ncDebug() << "QoS file has no" << path.at(reached.size()) << "element in" << reached.join(QLatin1Char('/'))
                     << "; not changed";
        return {outcome::notFound, QStringLiteral("it has no %1 element").arg(path.join(QLatin1Char('/')))};
    }
    outcome refused;
    *output = doc.serialised(&refused);
    if (output->isNull())
        return refused;
    return *output == input ? outcome::unchanged : outcome::done;
}

outcome updateOsplConfig(const QString& path, const QString& address, osplWalk walk, const lockWaitHook& waitHook,
                         osplBinding* binding)
{
    // Never created: an installation without the file does not use it.
    fileEdit file(path, false, 10000, waitHook);
    if (!file.ready()) {
        if (file.result() == outcome::missing || file.result() == outcome::unreadable)
            ncDebug() << "Can't open QoS file for reading";
        return file.result();
    }
    QByteArray output;
    const outcome rewrite = rewriteOsplConfig(file.bytes(), address, walk, &output, binding);
    if (rewrite == outcome::unchanged)
        ncDebug() << "QoS file already holds" << address << "; not rewritten";
    if (rewrite != outcome::done)
        return rewrite;
    const outcome replaced = file.replace(output);
    if (!replaced.ok())
        ncDebug() << "Can't open QoS file for writing:" << path;
    return replaced;
}

outcome inspectOsplConfig(const QString& path, osplBinding* binding)
{
    QByteArray bytes;
    const outcome read = readWholeFile(path, &bytes);
    if (!read.ok())
        return read;
    if (bytes.size() > maxOsplBytes)
        return osplTooLarge();
    const osplDocument doc(bytes);
    if (doc.isNull())
        return doc.verdict();
    *binding = doc.binding();
    return outcome::done;
}

bool osplUpdated(const outcome& update)
{
    return update.ok() || update == outcome::notFound;
}
