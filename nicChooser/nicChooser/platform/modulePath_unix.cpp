#include "modulePath.h"

#include <QFileInfo>

QString modulePath()
{
    // The kernel's own record of what runs, independent of argv[0] and of any
    // application object.
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}
