#pragma once
// The interfaces that tests/in-netns.sh builds, and what the tool must make
// of them.

#include <QByteArray>
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

/// The adaptor ID the system reports for the namespace's interface that Linux names linuxName: on Linux that name, on
/// Windows (Wine gives the Linux name as the readable one) Windows' own, such as ethernet_3.
QString adaptorId(const QString& linuxName);

/// text with nc0 and nc1 named by their adaptor IDs where an ID is meant: a row's third column, the Adaptor key's value
/// (any case, blanks around '='), "/select=", the quoted ID of the validity line and "on NAME" in a sentence. Null
/// stays null.
QString withIds(QString text);
QByteArray withIds(const QByteArray& text);
