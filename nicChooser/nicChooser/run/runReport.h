#pragma once
// What a run tells, kept free of widgets: the process's exit statuses, the
// status line under the table, the /list output, and the lines on stderr
// for whoever started it unattended (an installer's log shows them). Each
// text that names something from the file system, the environment or the
// command line shows it as one line.

#include "adaptorRows.h"
#include "commandLine.h"
#include "osplConfig.h"
#include "outcome.h"

#include <QString>
#include <QStringList>

#include <list>
#include <vector>

/// What the process's exit status tells its caller.
enum exitStatus : int {
    exitDone = 0,           ///< stored, already valid, listed, or cancelled by the operator
    exitNoVariable = 2,     ///< CC_ROOT or CC_SYSTEM is missing or empty
    exitSettingsFailed = 3, ///< the settings file could not be written; nothing changed
    exitDdsFailed = 4,      ///< the settings hold the choice, the DDS configuration was not updated
    exitNoDisplay = 5,      ///< a person would have to choose, and there is no display to ask on
    exitNoMatch = 6,        ///< /select matches no row; nothing written
    exitSeveralMatch = 7,   ///< /select matches more than one row; nothing written
    exitBadRule = 8,        ///< /select is malformed; nothing written
    exitOutputFailed = 9,   ///< /list could not write its output
    exitDisagrees = 10,     ///< /check found the installation disagreeing with the stored choice; nothing written
};

/// One line on stderr, "nicChooser: " and text made one line, for whoever started the tool unattended.
void tell(const QString& text);

/// The variables that are missing or empty, as the fatal text names them ("CC_ROOT", "CC_SYSTEM", "CC_ROOT and
/// CC_SYSTEM"); empty when both are usable.
QString missingVariables(const QString& root, const QString& system);

/// The fatal message for the variables missing.
QString fatalText(const QString& missing);

/// The arguments that matched no switch, named for the operator ("not a switch, so ignored: ..."), as given: whoever
/// shows it makes it one line (tell() does); empty when none.
QString unknownArguments(const QStringList& unknown);

/// What the status line says: the stored pair and whether a row carries it (or why the settings file cannot be read;
/// elsewhere: the adaptor of a listed row that holds the stored address when the pair is not listed), the /select
/// outcome (when a rule was given), and an empty table.
QString statusLine(const QString& storedAddress, const QString& storedAdaptor, bool storedListed, int rowCount,
                   const selectRule* rule, int matches, const QString& unreadable = QString(),
                   const QString& elsewhere = QString());

/// Why the stored choice names no row, for a line on stderr: nothing stored yet, the address is on another adaptor
/// (elsewhere), or no row carries it.
QString storedNoRow(const QString& storedAddress, const QString& storedAdaptor, const QString& elsewhere);

/// What storing changed, in one line for the operator: "stored ADDRESS on ADAPTOR: " and which files were written
/// (settingsFile: the settings file's path when it was written, created telling that it did not exist; ddsFile: the
/// DDS configuration's path when it was written); empty when no file changed.
QString changeSummary(const QString& address, const QString& adaptor, const QString& settingsFile, bool created,
                      const QString& ddsFile);

/// What an /ospl update left the DDS configuration at ddsFile binding, in one line for the operator, after an update of
/// address that came to done, unchanged or notFound: which element took the address, with its old value, and which
/// service binds it; each networking service that does not bind it, and why; the placeholder it replaced; the other
/// configuration uriElsewhere names (see osplUriElsewhere), and that running services read it only when they start.
QString bindingLine(const QString& ddsFile, const QString& address, const osplBinding& binding,
                    const QString& uriElsewhere);

/// What /check found of an installation.
struct installationState {
    QString settingsFile;   ///< the settings file's path, as shown
    QString unreadable;     ///< why the settings file cannot be read; empty when it can, or does not exist
    QString storedAddress;
    QString storedAdaptor;
    bool storedListed = false; ///< a listed row carries the stored pair
    QString elsewhere;      ///< the adaptor of a listed row that carries the stored address, when the pair is not listed
    QString ddsFile;        ///< the DDS configuration's path, as shown; empty when it was not checked
    outcome dds;            ///< how reading it went
    osplBinding binding;    ///< what it binds, when read
};

/// One line per way the installation disagrees with its stored choice, for /check: the settings file unreadable,
/// nothing stored, the pair on no listed row; with the DDS configuration checked, that it cannot be read or would be
/// refused, that the element the update sets holds another value, and each running networking service it leaves to
/// bind something else. None when all agree.
QStringList checkLines(const installationState& state);

/// One line per row for /list: name, address, adaptor ID and "stored" or nothing, tab-separated; control characters in
/// a field become spaces.
QString listing(const std::vector<adaptorRow>& rows);

/// One line per row for a stderr explanation: the three fields, tab-separated.
QString rowLine(const networkDest& row);

/// The exit status of an unattended /select that stored nothing (malformed, no match, several matches).
int unstoredStatus(const selectRule& rule, int matches);

/// Why an unattended /select stored nothing, for a line on stderr; rowCount is how many rows there are.
QString unstoredLine(const selectRule& rule, int rowCount, int matches);

/// The rows to list on stderr after that line, one each: the matching ones, or all when none matches; none for a
/// malformed rule, which is about its own text.
QStringList candidateLines(const std::list<networkDest>& rows, const selectRule& rule, const std::vector<int>& matches);
