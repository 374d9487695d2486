#pragma once
// The tool's compiled HTML help file, shown by whatever the platform offers.

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
