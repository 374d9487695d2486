#pragma once
// The interfaces that tests/in-netns.sh builds, and what the tool must make
// of them.

#include <QStringList>

#include <vector>

namespace layout {
/// Rows expected, in order: name, address, adaptor ID.
const std::vector<QStringList>& rows();
/// Interfaces expected in "can't multicast" lines.
QStringList rejected();
/// True when this process runs inside the wrapper's namespace.
bool inside();
} // namespace layout
