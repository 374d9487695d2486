#include "helpDisplay.h"

QString helpFilePath(const QString& executable)
{
    const QString exe = QStringLiteral(".exe");
    if (!executable.contains(exe))
        return executable + QStringLiteral(".chm"); // never hand the program itself to a viewer
    QString path = executable;
    return path.replace(exe, QStringLiteral(".chm"));
}

QStringList helpFilePlaces(const QString& executable)
{
    // Split on either separator: the path is the system's own, but the rule
    // is the same for a Windows path.
    const int slash = qMax(executable.lastIndexOf(QLatin1Char('/')), executable.lastIndexOf(QLatin1Char('\\')));
    const QChar separator = slash >= 0 ? executable.at(slash) : QLatin1Char('/');
    const QString folder = executable.left(qMax(slash, 0));
    // The executable's path holds no link and no "..": its folder's parent
    // is the text before the last separator.
    const int up = folder.lastIndexOf(separator);
    const QString shared = QStringList{folder.left(qMax(up, 0)), QStringLiteral("share"), QStringLiteral("nicChooser"),
                                       QStringLiteral("nicChooser.chm")}
                               .join(separator);
    return {helpFilePath(executable), shared};
}
