#include "osplEncoding.h"

#include <QByteArray>
#include <QDomDocument>
#include <QRegularExpression>

#include <algorithm>
#include <cstring>

namespace osplEncoding {

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

charset::charset(QTextCodec* codec) : codec(codec)
{
    const int mib = codec ? codec->mibEnum() : 106;
    if (mib == 106 || (mib >= 1013 && mib <= 1015) || (mib >= 1017 && mib <= 1019))
        kind = unicode;
    else if (mib == 4)
        kind = latin1;
    else
        kind = other;
}

bool charset::writes(const QStringRef& text) const
{
    switch (kind) {
    case unicode: return true;
    case latin1: return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x100; });
    default: return codec->canEncode(QStringView(text.unicode(), text.size()));
    }
}

bool charset::undecoded(const QStringRef& text) const
{
    return kind == other && text.contains(QChar(QChar::ReplacementCharacter))
           && !codec->canEncode(QChar(QChar::ReplacementCharacter));
}

bool charset::needsReference(uint c) const
{
    switch (kind) {
    case unicode: return false;
    case latin1: return c >= 0x100;
    default: return c > 0xFFFF || !codec->canEncode(QChar(ushort(c)));
    }
}

QString charset::referenced(const QStringRef& text, const QString& escape) const
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

bool charset::hasSurrogates(const QStringRef& text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSurrogate(); });
}

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

bool orderLeftToBytes(const QString& encoding, const byteEncoding& bytes)
{
    return (isWide(bytes.codec, 16) && encoding.compare(QLatin1String("UTF-16"), Qt::CaseInsensitive) == 0)
           || (isWide(bytes.codec, 32) && encoding.compare(QLatin1String("UTF-32"), Qt::CaseInsensitive) == 0);
}

QTextCodec* writingCodec(const QString& encoding, const byteEncoding& bytes)
{
    if (encoding.isEmpty() || orderLeftToBytes(encoding, bytes))
        return bytes.codec;
    return QTextCodec::codecForName(encoding.toLatin1());
}

QTextCodec* declaredCodec(const QDomDocument& doc)
{
    const QDomNode first = doc.firstChild();
    if (!first.isProcessingInstruction() || first.nodeName() != QLatin1String("xml"))
        return nullptr;
    static const QRegularExpression encoding(QStringLiteral("\\bencoding\\s*=\\s*'([^']*)'"));
    const QString name = encoding.match(first.nodeValue()).captured(1);
    return name.isEmpty() ? nullptr : QTextCodec::codecForName(name.toLatin1());
}

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

} // namespace osplEncoding
