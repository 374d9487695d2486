#include "settingsEncoding.h"

#include <QString>
#include <QTextCodec>

namespace {

// bytes as UTF-16 units, a leading mark kept as a character (where
// QString::fromUtf8 drops it); false when they are not all valid UTF-8.
bool fromUtf8(const QByteArray& bytes, QString* units)
{
    static QTextCodec* const utf8 = QTextCodec::codecForName("UTF-8");
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    *units = utf8->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

// Whether file starts as UTF-16 text without a mark would: ASCII characters
// each beside a zero byte. Edited as bytes, such a file would get lines of
// single bytes among its characters, which no reader takes.
bool unmarkedUtf16(const QByteArray& file)
{
    const int n = qMin(int(file.size()) & ~1, 64);
    if (n < 4)
        return false;
    for (int zero : {0, 1}) {
        bool all = true;
        for (int i = 0; i < n && all; i += 2) {
            const uchar a = uchar(file.at(i + zero)), b = uchar(file.at(i + 1 - zero));
            all = a == 0 && b != 0 && b < 0x80;
        }
        if (all)
            return true;
    }
    return false;
}

} // namespace

namespace ini {

bool isUtf8(const QByteArray& bytes)
{
    QString ignored;
    return fromUtf8(bytes, &ignored);
}

decodedFile decode(const QByteArray& file)
{
    decodedFile d;
    // UTF-32's little-endian mark begins with UTF-16's: read as UTF-16, every
    // other character would be a NUL and the keys would never be found.
    if (file.startsWith(QByteArray("\xFF\xFE\0\0", 4)) || file.startsWith(QByteArray("\0\0\xFE\xFF", 4))) {
        d.readable = {outcome::malformed,
                      QStringLiteral("it is UTF-32 (its byte-order mark says so), which is neither read nor written: "
                                     "save it as UTF-8 or UTF-16")};
        return d;
    }
    if (file.startsWith("\xFF\xFE"))
        d.kind = encoding::utf16le;
    else if (file.startsWith("\xFE\xFF"))
        d.kind = encoding::utf16be;
    else if (unmarkedUtf16(file)) {
        d.readable = {
            outcome::malformed,
            QStringLiteral("it looks like UTF-16 without a byte-order mark, which is neither read nor written "
                           "(the profile functions take it for bytes): save it with a mark, or as UTF-8")};
        return d;
    } else {
        d.text = file;
        return d;
    }
    if (file.size() % 2 != 0) {
        d.readable = {outcome::malformed,
                      QStringLiteral("it is UTF-16 with an odd number of bytes, so its last character is broken")};
        return d;
    }
    const bool little = d.kind == encoding::utf16le;
    const auto* bytes = reinterpret_cast<const uchar*>(file.constData());
    QString text(file.size() / 2, Qt::Uninitialized);
    for (int i = 0; i < text.size(); ++i) {
        const uchar first = bytes[2 * i];
        const uchar second = bytes[2 * i + 1];
        text[i] = QChar(little ? ushort(first | second << 8) : ushort(first << 8 | second));
    }
    d.text = text.toUtf8();
    // Only what comes back as exactly these bytes may be written back. Valid
    // UTF-16 always does; where it does not, a surrogate stands unpaired.
    const QByteArray again = encode(d.text, d.kind);
    if (again != file) {
        int at = 0;
        while (at < file.size() && at < again.size() && file.at(at) == again.at(at))
            ++at;
        d.readable = {
            outcome::malformed,
            QStringLiteral("its UTF-16 holds an unpaired surrogate (at byte %1), which is no text").arg(at / 2 * 2)};
        d.text.clear();
    }
    return d;
}

QByteArray encode(const QByteArray& text, encoding kind)
{
    if (kind == encoding::bytes)
        return text;
    QString units;
    fromUtf8(text, &units);
    QByteArray out(units.size() * 2, Qt::Uninitialized);
    const bool little = kind == encoding::utf16le;
    for (int i = 0; i < units.size(); ++i) {
        const ushort u = units.at(i).unicode();
        out[2 * i + (little ? 0 : 1)] = char(u & 0xFF);
        out[2 * i + (little ? 1 : 0)] = char(u >> 8);
    }
    return out;
}

} // namespace ini
