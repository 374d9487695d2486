#include "helpDisplay.h"

QString helpFilePath(const QString& executable)
{
    const QString exe = QStringLiteral(".exe");
    if (!executable.contains(exe))
        return executable + QStringLiteral(".chm"); // never hand the program itself to a viewer
    QString path = executable;
    return path.replace(exe, QStringLiteral(".chm"));
}
