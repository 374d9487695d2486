#include "editChecks.h"
#include "localSettings.h"

#include <QList>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTextCodec>
#include <QXmlStreamReader>

#include <algorithm>

namespace {

bool isUtf16(const QByteArray& file)
{
    return file.startsWith("\xFF\xFE") || file.startsWith("\xFE\xFF");
}

// The file's characters, its byte-order mark the first of them.
QString utf16Text(const QByteArray& file)
{
    QTextCodec* codec = QTextCodec::codecForName(file.startsWith("\xFF\xFE") ? "UTF-16LE" : "UTF-16BE");
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    return codec->toUnicode(file.constData(), file.size(), &state);
}

bool validUtf8(const QByteArray& bytes)
{
    // A leading letter keeps a leading mark from being taken for a header.
    const QByteArray probe = 'a' + bytes;
    return QString::fromUtf8(probe).toUtf8() == probe;
}

struct textLine {
    QByteArray content;
    QByteArray ending; // LF, CRs and an LF, a lone CR, or nothing for a last line
    bool operator==(const textLine& o) const { return content == o.content && ending == o.ending; }
};

QList<textLine> textLines(const QByteArray& text)
{
    QList<textLine> lines;
    int pos = 0;
    while (pos < text.size()) {
        int stop = pos;
        while (stop < text.size() && text.at(stop) != '\n' && text.at(stop) != '\r')
            ++stop;
        int crs = stop;
        while (crs < text.size() && text.at(crs) == '\r')
            ++crs;
        if (crs < text.size() && text.at(crs) == '\n') {
            lines.append({text.mid(pos, stop - pos), text.mid(stop, crs + 1 - stop)});
            pos = crs + 1;
        } else if (stop == crs) {
            lines.append({text.mid(pos), QByteArray()});
            break;
        } else {
            // k lone CRs end this line and k - 1 empty ones
            lines.append({text.mid(pos, stop - pos), "\r"});
            for (int i = stop + 1; i < crs; ++i)
                lines.append({QByteArray(), "\r"});
            pos = crs;
        }
    }
    return lines;
}

QString readBackProblem(const QByteArray& text, const QByteArray& section, const QByteArray& key,
                        const QByteArray& value)
{
    const QByteArray got = ini::value(text, section, key);
    if (got.isNull())
        return QStringLiteral("the key cannot be found after the write");
    if (got != value)
        return QStringLiteral("the key reads back as \"%1\", not \"%2\"")
            .arg(QString::fromUtf8(got), QString::fromUtf8(value));
    return QString();
}

} // namespace

QString settingsEditProblem(const QByteArray& before, const QByteArray& after, const QByteArray& section,
                            const QByteArray& key, const QByteArray& value)
{
    QByteArray old = before;
    QByteArray now = after;
    if (isUtf16(before)) {
        if (!settingsUnwritable(before, "k", "v").isEmpty())
            return QStringLiteral("the input is no valid UTF-16, yet it was written");
        if (!after.startsWith(before.left(2)) || after.size() % 2 != 0)
            return QStringLiteral("a UTF-16 file lost its mark or encoding");
        const QString written = utf16Text(after);
        if (!written.isValidUtf16())
            return QStringLiteral("the UTF-16 written is no valid UTF-16");
        old = utf16Text(before).toUtf8();
        now = written.toUtf8();
    }

    const QByteArray text = now; // as a reader sees it
    // What follows an end-of-file byte is nobody's business but must survive.
    const int eof = old.indexOf('\x1A');
    const QByteArray tail = eof < 0 ? QByteArray() : old.mid(eof);
    if (!now.endsWith(tail) || now.indexOf('\x1A') != (eof < 0 ? -1 : now.size() - tail.size()))
        return QStringLiteral("the bytes from the end-of-file byte on were not kept at the end");
    old.chop(tail.size());
    now.chop(tail.size());
    const QByteArray mark("\xEF\xBB\xBF");
    if (old.startsWith(mark) != now.startsWith(mark))
        return QStringLiteral("the UTF-8 byte-order mark was added or lost");
    if (old.startsWith(mark)) {
        old.remove(0, mark.size());
        now.remove(0, mark.size());
    }
    const bool oldEndsOpen = !old.isEmpty() && !old.endsWith('\n') && !old.endsWith('\r');
    const bool nowEndsOpen = !now.isEmpty() && !now.endsWith('\n') && !now.endsWith('\r');
    if (oldEndsOpen != nowEndsOpen)
        return QStringLiteral("a final line ending was added or lost");

    const QList<textLine> a = textLines(old);
    const QList<textLine> b = textLines(now);
    int prefix = 0;
    while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix])
        ++prefix;
    int suffix = 0;
    while (suffix < a.size() - prefix && suffix < b.size() - prefix
           && a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix])
        ++suffix;
    const QList<textLine> removed = a.mid(prefix, a.size() - prefix - suffix);
    QList<textLine> added = b.mid(prefix, b.size() - prefix - suffix);
    if (removed.size() > 1)
        return QStringLiteral("more than one line was changed");

    // Lines added take the ending of the nearest line above that has one.
    QByteArray want = "\r\n";
    for (int i = prefix - 1; i >= 0; --i)
        if (!a[i].ending.isEmpty()) {
            want = a[i].ending;
            break;
        }
    if (removed.size() == 1) {
        if (added.size() == 1 && added[0].ending == removed[0].ending)
            return readBackProblem(text, section, key, value); // one line replaced
        // Else only a last line without an ending may gain one, and the
        // added lines follow it.
        if (!removed[0].ending.isEmpty() || added.isEmpty() || added[0].content != removed[0].content)
            return QStringLiteral("a line was changed and lines were added");
        if (added[0].ending != want)
            return QStringLiteral("the last line was given the ending \"%1\", not \"%2\"")
                .arg(QString::fromLatin1(added[0].ending.toPercentEncoding()),
                     QString::fromLatin1(want.toPercentEncoding()));
        added.removeFirst();
    }
    if (added.size() > 2)
        return QStringLiteral("more than a header and one line were added");
    for (const textLine& l : added)
        if (!l.ending.isEmpty() && l.ending != want)
            return QStringLiteral("an added line ends in \"%1\", not \"%2\" as the line above it")
                .arg(QString::fromLatin1(l.ending.toPercentEncoding()), QString::fromLatin1(want.toPercentEncoding()));
    return readBackProblem(text, section, key, value);
}

QString settingsUnwritable(const QByteArray& file, const QByteArray& key, const QByteArray& value)
{
    // UTF-32 by its mark (the little-endian one begins as UTF-16's does).
    if (file.startsWith(QByteArray("\xFF\xFE\0\0", 4)) || file.startsWith(QByteArray("\0\0\xFE\xFF", 4)))
        return QStringLiteral("UTF-32");
    if (!isUtf16(file)) {
        // Its first characters, read as UTF-16 of either order, all ASCII:
        // UTF-16 that lost its mark.
        const QByteArray head = file.left(qMin(int(file.size()) & ~1, 64));
        for (const char* order : {"UTF-16LE", "UTF-16BE"}) {
            const QString text = QTextCodec::codecForName(order)->toUnicode(head);
            if (head.size() >= 4 && std::all_of(text.begin(), text.end(), [](QChar c) {
                    return c.unicode() >= 1 && c.unicode() < 0x80;
                }))
                return QStringLiteral("UTF-16 without a byte-order mark");
        }
        return QString();
    }
    if (file.size() % 2 != 0)
        return QStringLiteral("UTF-16 with an odd number of bytes");
    if (!utf16Text(file).isValidUtf16())
        return QStringLiteral("UTF-16 with an unpaired surrogate");
    if (!validUtf8(key) || !validUtf8(value))
        return QStringLiteral("an entry that is no UTF-8 text, for a UTF-16 file");
    return QString();
}

QString xmlProblem(const QByteArray& data)
{
    QXmlStreamReader r(data);
    r.setNamespaceProcessing(false);
    while (!r.atEnd())
        r.readNext();
    if (!r.hasError())
        return QString();
    return QStringLiteral("%1 at line %2 column %3").arg(r.errorString()).arg(r.lineNumber()).arg(r.columnNumber());
}

namespace {

const QStringList addressPath{"OpenSplice", "DDSI2Service", "General", "NetworkInterfaceAddress"};

// The document as a list of tokens, blank text left out; the direct text of
// the first element on the address path goes to *addressTexts instead.
// data as the toolkit's reader can take it: told only "UTF-16" or "UTF-32"
// it guesses the byte order, where XML's rule (and libxml2) takes the order
// in which the first '<' stands, so a file without a byte-order mark gets one.
QByteArray withByteOrderMark(const QByteArray& data)
{
    struct order {
        QByteArray start, mark;
    };
    static const order orders[] = {
        {QByteArray("\0\0\0<", 4), QByteArray("\0\0\xFE\xFF", 4)},
        {QByteArray("<\0\0\0", 4), QByteArray("\xFF\xFE\0\0", 4)},
        {QByteArray("\0<", 2), QByteArray("\xFE\xFF")},
        {QByteArray("<\0", 2), QByteArray("\xFF\xFE")},
    };
    for (const order& o : orders)
        if (data.startsWith(o.start))
            return o.mark + data;
    return data;
}

QStringList tokens(const QByteArray& data, QStringList* addressTexts, QString* error)
{
    QStringList out;
    QXmlStreamReader r(withByteOrderMark(data));
    // XML 1.0 rules, as the middleware and the writer read it; prefixes are
    // part of the names.
    r.setNamespaceProcessing(false);
    QStringList path;
    int addressDepth = -1; // depth of the address element while inside it
    bool addressSeen = false;
    // Text runs on across CDATA and references: XML sees one text there,
    // however it was written, so adjacent pieces count as one.
    QString text;
    bool textInAddress = false;
    auto flushText = [&] {
        const QString t = text.trimmed();
        if (!t.isEmpty())
            (textInAddress ? *addressTexts : out) << (textInAddress ? t : QLatin1Char('"') + t);
        text.clear();
    };
    while (!r.atEnd()) {
        const QXmlStreamReader::TokenType token = r.readNext();
        if (token != QXmlStreamReader::Characters)
            flushText();
        switch (token) {
        case QXmlStreamReader::StartDocument:
            out << QStringLiteral("?xml %1 %2")
                       .arg(r.documentVersion().toString(), r.documentEncoding().toString().toLower());
            break;
        case QXmlStreamReader::StartElement: {
            path << r.name().toString();
            QString t = QLatin1Char('<') + r.qualifiedName().toString();
            for (const QXmlStreamAttribute& a : r.attributes())
                t += QLatin1Char(' ') + a.qualifiedName().toString() + QLatin1String("=[") + a.value().toString()
                     + QLatin1Char(']');
            out << t;
            if (!addressSeen && path == addressPath) {
                addressSeen = true;
                addressDepth = path.size();
            }
            break;
        }
        case QXmlStreamReader::EndElement:
            if (path.size() == addressDepth)
                addressDepth = -1;
            path.removeLast();
            out << QStringLiteral("</");
            break;
        case QXmlStreamReader::Characters:
            textInAddress = path.size() == addressDepth;
            text += r.text();
            break;
        case QXmlStreamReader::Comment: out << QLatin1String("<!--") + r.text().toString(); break;
        case QXmlStreamReader::ProcessingInstruction:
            out << QLatin1String("<?") + r.processingInstructionTarget().toString() + QLatin1Char(' ')
                       + r.processingInstructionData().toString();
            break;
        case QXmlStreamReader::DTD: out << QLatin1String("<!DOCTYPE") + r.text().toString(); break;
        default: break;
        }
    }
    if (r.hasError())
        *error = QStringLiteral("%1 at line %2").arg(r.errorString()).arg(r.lineNumber());
    return out;
}

} // namespace

QString osplEditProblem(const QByteArray& before, const QByteArray& after, const QString& address)
{
    QString error;
    QStringList beforeAddress;
    const QStringList beforeTokens = tokens(before, &beforeAddress, &error);
    if (!error.isEmpty())
        return QStringLiteral("the input was not well-formed, yet it was rewritten: ") + error;
    QStringList afterAddress;
    const QStringList afterTokens = tokens(after, &afterAddress, &error);
    if (!error.isEmpty())
        return QStringLiteral("the output is not well-formed: ") + error;
    if (beforeTokens.size() != afterTokens.size())
        return QStringLiteral("%1 tokens became %2").arg(beforeTokens.size()).arg(afterTokens.size());
    for (int i = 0; i < beforeTokens.size(); ++i)
        if (beforeTokens[i] != afterTokens[i])
            return QStringLiteral("token %1 changed: %2 -> %3")
                .arg(i)
                .arg(beforeTokens[i].left(80), afterTokens[i].left(80));
    // The element's text is the address and nothing else: the text around a
    // comment in it, or in several pieces, is all of it together.
    if (afterAddress != QStringList{address})
        return QStringLiteral("the address element holds [%1]").arg(afterAddress.join(QLatin1Char('|')));
    return QString();
}

namespace {

// libxml2's canonical form of data, or why it cannot read it.
bool canonical(const QByteArray& data, QByteArray* out, QString* error)
{
    QProcess xmllint;
    xmllint.start(QStringLiteral("xmllint"),
                  {QStringLiteral("--nonet"), QStringLiteral("--c14n"), QStringLiteral("-")});
    if (!xmllint.waitForStarted()) {
        *error = QStringLiteral("xmllint did not start");
        return false;
    }
    xmllint.write(data);
    xmllint.closeWriteChannel();
    if (!xmllint.waitForFinished(60000) || xmllint.exitStatus() != QProcess::NormalExit || xmllint.exitCode() != 0) {
        *error = QString::fromLocal8Bit(xmllint.readAllStandardError()).trimmed();
        return false;
    }
    *out = xmllint.readAllStandardOutput();
    return true;
}

} // namespace

bool secondParserFound()
{
    return !QStandardPaths::findExecutable(QStringLiteral("xmllint")).isEmpty();
}

QString secondParserEditProblem(const QByteArray& before, const QByteArray& after, const QString& address)
{
    QByteArray canonicalBefore, canonicalAfter;
    QString error;
    if (!canonical(before, &canonicalBefore, &error))
        return QString();
    if (!canonical(after, &canonicalAfter, &error))
        return QStringLiteral("libxml2 cannot read the output: ") + error;
    const QString problem = osplEditProblem(canonicalBefore, canonicalAfter, address);
    return problem.isEmpty() ? problem : QStringLiteral("as libxml2 reads them, ") + problem;
}
