#pragma once
// The dialog's walk through the DDS configuration, on its own so that what
// uses it (the update, its tests and fuzzer) needs no widgets.

#include <QDomNode>
#include <QString>
#include <QStringList>

/// Walks path from node through the first element of each name (exact match) and sets the last one's text to value;
/// true when that element was found.
bool delve(QDomNode& node, const QStringList& path, const QString& value);
