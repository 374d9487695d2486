#include "systemText.h"

namespace {

// The length of the well-formed UTF-8 sequence at bytes[i], or 0 when the
// byte there starts none (overlong forms and surrogates are not UTF-8).
int sequenceLength(const QByteArray& bytes, int i, uint* codePoint)
{
    const uchar b0 = uchar(bytes.at(i));
    int length;
    uint cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + length > bytes.size())
        return 0;
    for (int k = 1; k < length; ++k) {
        const uchar b = uchar(bytes.at(i + k));
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if ((length == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)))
        || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    *codePoint = cp;
    return length;
}

void appendUtf8(QByteArray* out, uint cp)
{
    if (cp < 0x80) {
        out->append(char(cp));
    } else if (cp < 0x800) {
        out->append(char(0xC0 | (cp >> 6)));
        out->append(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->append(char(0xE0 | (cp >> 12)));
        out->append(char(0x80 | ((cp >> 6) & 0x3F)));
        out->append(char(0x80 | (cp & 0x3F)));
    } else {
        out->append(char(0xF0 | (cp >> 18)));
        out->append(char(0x80 | ((cp >> 12) & 0x3F)));
        out->append(char(0x80 | ((cp >> 6) & 0x3F)));
        out->append(char(0x80 | (cp & 0x3F)));
    }
}

// The escape for character u, or nothing when it stands for itself.
QString escaped(ushort u, bool keepTabs)
{
    switch (u) {
    case '\n': return QStringLiteral("\\n");
    case '\r': return QStringLiteral("\\r");
    case '\t': return keepTabs ? QString() : QStringLiteral("\\t");
    default: break;
    }
    if (u < 0x20 || u == 0x7F)
        return QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    if (u >= 0xDC80 && u <= 0xDC9F) // a lone byte that would be a C1 control
        return QStringLiteral("\\x%1").arg(u - 0xDC00, 2, 16, QLatin1Char('0'));
    const bool c1 = u >= 0x80 && u <= 0x9F;
    const bool separator = u == 0x2028 || u == 0x2029;
    const bool bidi =
        (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) || u == 0x200E || u == 0x200F || u == 0x061C;
    if (c1 || separator || bidi)
        return QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
    return QString();
}

} // namespace

QString textFromSystem(const QByteArray& bytes)
{
    QString text;
    text.reserve(bytes.size());
    for (int i = 0; i < bytes.size();) {
        const uchar b = uchar(bytes.at(i));
        uint cp = 0;
        if (b < 0x80) {
            text.append(QChar(b));
            ++i;
        } else if (const int length = sequenceLength(bytes, i, &cp)) {
            if (cp >= 0x10000) {
                text.append(QChar(QChar::highSurrogate(cp)));
                text.append(QChar(QChar::lowSurrogate(cp)));
            } else {
                text.append(QChar(ushort(cp)));
            }
            i += length;
        } else {
            text.append(QChar(ushort(0xDC00 + b)));
            ++i;
        }
    }
    return text;
}

QByteArray systemBytes(const QString& text)
{
    QByteArray out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const ushort u = text.at(i).unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            appendUtf8(&out, QChar::surrogateToUcs4(u, text.at(i + 1).unicode()));
            ++i;
        } else if (u >= 0xDC80 && u <= 0xDCFF) {
            out.append(char(u - 0xDC00)); // a byte that was not UTF-8
        } else if (QChar::isSurrogate(u)) {
            appendUtf8(&out, 0xFFFD); // never comes from the system
        } else {
            appendUtf8(&out, u);
        }
    }
    return out;
}

QString oneLine(const QString& text, bool keepTabs)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const QString escape = escaped(c.unicode(), keepTabs);
        if (escape.isEmpty())
            out += c;
        else
            out += escape;
    }
    return out;
}
