#include "helpDisplay.h"

QString helpFilePath(const QString& executable)
{
    const QString exe = QStringLiteral(".exe");
    if (!executable.contains(exe))
        return executable + QStringLiteral(".chm"); // never hand the program itself to a viewer
    QString path = executable;
    return path.replace(exe, QStringLiteral(".chm"));
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
