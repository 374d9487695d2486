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

namespace {
// What a window manager's frame takes, as far as a size can allow for it
// before the window is shown.
constexpr int frameWidth = 8, frameHeight = 36;
} // namespace

QSize fittedSize(const QSize& wanted, const QRect& available)
{
    return wanted.boundedTo(QSize(available.width() - frameWidth, available.height() - frameHeight))
        .expandedTo(QSize(1, 1));
}

QRect helpPlacement(const QRect& dialog, const QSize& wanted, const QRect& available)
{
    const QSize size = fittedSize(wanted, available);
    const int right = available.right() - dialog.right(), left = dialog.left() - available.left();
    int x;
    if (right >= size.width() + frameWidth)
        x = dialog.right() + 1 + frameWidth;
    else if (left >= size.width() + frameWidth)
        x = dialog.left() - size.width() - frameWidth;
    else
        x = right >= left ? available.right() + 1 - size.width() - frameWidth : available.left();
    x = qBound(available.left(), x, available.right() + 1 - size.width() - frameWidth);
    const int y = qBound(available.top(), dialog.top(), available.bottom() + 1 - size.height() - frameHeight);
    return QRect(QPoint(x, y), size);
}
