#pragma once
// The tool's compiled HTML help file, shown by whatever the platform offers.

#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

class QWidget;

/// The help file for executable: every ".exe" (case-sensitive) becomes ".chm"; a path without ".exe" gets ".chm"
/// appended.
QString helpFilePath(const QString& executable);

/// Where the help for executable (its real path) is looked for, in this order: beside it (helpFilePath), then
/// nicChooser.chm in ../share/nicChooser/ from its folder, as a GNU-style installation tree lays it out.
QStringList helpFilePlaces(const QString& executable);

/// Shows the help file at path, owned by owner; false when nothing could be shown.
bool showHelp(QWidget* owner, const QString& path);

/// Where a help window of size wanted goes beside a dialog whose frame is dialog, on a screen whose free area is
/// available: shrunk to fit that area, then right of the dialog if it fits there, else left of it, else on the side
/// with more room and as far from the dialog as the area allows; never outside the area.
QRect helpPlacement(const QRect& dialog, const QSize& wanted, const QRect& available);

/// The size a window asks for, kept where it fits on the free area available (less a window frame's share), else
/// shrunk to it.
QSize fittedSize(const QSize& wanted, const QRect& available);
