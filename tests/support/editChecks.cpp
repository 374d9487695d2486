#include "editChecks.h"
#include "localSettings.h"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QXmlStreamReader>

QString settingsEditProblem(const QByteArray& before, const QByteArray& after, const QByteArray& section,
                            const QByteArray& key, const QByteArray& value)
{
    int prefix = 0;
    while (prefix < before.size() && prefix < after.size() && before.at(prefix) == after.at(prefix))
        ++prefix;
    int suffix = 0;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix
           && before.at(before.size() - 1 - suffix) == after.at(after.size() - 1 - suffix))
        ++suffix;
    const QByteArray removed = before.mid(prefix, before.size() - prefix - suffix);
    const QByteArray added = after.mid(prefix, after.size() - prefix - suffix);
    if (removed.contains('\n') || removed.contains('\r'))
        return QStringLiteral("bytes beyond one line were changed");
    int breaks = added.count('\n');
    for (int i = 0; i < added.size(); ++i)
        if (added.at(i) == '\r' && (i + 1 == added.size() || added.at(i + 1) != '\n'))
            ++breaks;
    if (breaks > 2)
        return QStringLiteral("more than a header and one line were added");
    // Read back as the same value would read from a file holding only it:
    // the reading rules (blanks, quotes) are not the edit's business.
    const QByteArray alone = ini::value('[' + section + "]\n" + key + '=' + value + '\n', section, key);
    if (alone.isNull())
        return QStringLiteral("the key can never be read back, yet it was written");
    const QByteArray got = ini::value(after, section, key);
    if (got != alone)
        return QStringLiteral("the key reads back as \"%1\", not \"%2\"")
            .arg(QString::fromUtf8(got), QString::fromUtf8(alone));
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
    while (!r.atEnd()) {
        switch (r.readNext()) {
        case QXmlStreamReader::StartDocument:
            out << QStringLiteral("?xml %1 %2").arg(r.documentVersion().toString(),
                                                   r.documentEncoding().toString().toLower());
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
            if (r.isWhitespace())
                break;
            if (path.size() == addressDepth)
                *addressTexts << r.text().toString().trimmed();
            else
                out << QLatin1Char('"') + r.text().toString().trimmed();
            break;
        case QXmlStreamReader::Comment:
            out << QLatin1String("<!--") + r.text().toString();
            break;
        case QXmlStreamReader::ProcessingInstruction:
            out << QLatin1String("<?") + r.processingInstructionTarget().toString() + QLatin1Char(' ')
                       + r.processingInstructionData().toString();
            break;
        case QXmlStreamReader::DTD:
            out << QLatin1String("<!DOCTYPE") + r.text().toString();
            break;
        default:
            break;
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
            return QStringLiteral("token %1 changed: %2 -> %3").arg(i).arg(beforeTokens[i].left(80), afterTokens[i].left(80));
    // The address takes the first text's place, or comes before the texts
    // when the element had only blank text.
    QStringList replaced = beforeAddress;
    if (!replaced.isEmpty())
        replaced.removeFirst();
    const QStringList wanted1 = QStringList{address} + replaced;
    const QStringList wanted2 = QStringList{address} + beforeAddress;
    if (afterAddress != wanted1 && afterAddress != wanted2)
        return QStringLiteral("the address element holds [%1]").arg(afterAddress.join(QLatin1Char('|')));
    return QString();
}

namespace {

// libxml2's canonical form of data, or why it cannot read it.
bool canonical(const QByteArray& data, QByteArray* out, QString* error)
{
    QProcess xmllint;
    xmllint.start(QStringLiteral("xmllint"), {QStringLiteral("--nonet"), QStringLiteral("--c14n"), QStringLiteral("-")});
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
