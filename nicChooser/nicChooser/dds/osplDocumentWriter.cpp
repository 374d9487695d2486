// Writing an osplDocument back: the toolkit's serialiser, with the layout it
// would add inside elements whose white space is content held off, and the
// markers the reader left resolved into the file's encoding.
#include "osplDocument.h"
#include "debugLog.h"
#include "osplEncoding.h"

#include <QTextCodec>
#include <QTextStream>

#include <utility>

using namespace osplEncoding;

namespace {

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

} // namespace

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
