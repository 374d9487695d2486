#include "osplConfig.h"
#include "debugLog.h"
#include "fileReplace.h"
#include "osplEncoding.h"

#include <QDomDocument>

#include <vector>

// Every debug line here calls the file the "QoS file": operators and their
// log filters know the tool's lines by that wording, so it stays as it is.

using namespace osplEncoding;

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

outcome osplValueAllowed(const QString& value)
{
    if (hasControl(value.constData(), value.size()))
        return {outcome::unsupported, QStringLiteral("the address holds a control character")};
    return outcome::done;
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
