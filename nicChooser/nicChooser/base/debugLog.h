#pragma once
// The tool's debug lines: every one goes through the logging category
// "nicChooser", so that whoever runs the tool can silence them all with
// QT_LOGGING_RULES="nicChooser.debug=false" without touching the toolkit's
// own messages. They carry file, line and function, and reach the terminal
// that started the tool (stderr).

#include <QDebug>
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(nicChooserLog)

/// One debug line in the tool's category; streams as qDebug() does.
#define ncDebug() qCDebug(nicChooserLog)

/// From now on the tool's debug lines reach stderr as their bare text, as they always have, instead of with the
/// toolkit's "nicChooser: " category prefix, which would make them look like the plain lines an unattended run writes
/// for its caller; QT_MESSAGE_PATTERN, when set, still decides. Other messages keep the toolkit's handling.
void keepDebugLinesPlain();
