#include "delve.h"
#include "debugLog.h"
#include "osplConfig.h"

#include <QDomElement>

bool delve(QDomNode& node, const QStringList& path, const QString& value)
{
    QStringList rest = path;
    const QString name = rest.takeFirst();
    for (; !node.isNull(); node = node.nextSibling()) {
        ncDebug() << node.nodeName();
        QDomElement element = node.toElement();
        if (element.isNull() || element.nodeName() != name)
            continue;
        if (rest.isEmpty()) {
            setElementText(element, value);
            return true;
        }
        QDomNode child = element.firstChild();
        return delve(child, rest, value);
    }
    return false;
}
