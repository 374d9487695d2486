#pragma once
// How a run picks its row and what it tells about it, kept free of widgets:
// the command-line switches, the /select rule, the status line under the
// table, the /list output and the process's exit statuses.
//
// Switches are matched as prefixes of any argument, case-sensitively, and
// each argument counts once, tested in this order: "/ospl", "/silent",
// "/list", "/select". So "/osplx" is /ospl, and "/select=RULE" carries its
// rule after the first '='.

#include "adaptorRows.h"

#include <QString>
#include <QStringList>

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
};

/// Switches found on a command line.
struct commandSwitches {
    bool ospl = false;
    bool silent = false;
    bool list = false;
    int selects = 0;     ///< how many /select arguments there were
    QString rule;        ///< the text after '=' of the last /select (null without '=')
    QStringList unknown; ///< arguments after the program path that match no switch, in order
};

/// The switches of arguments (the program path included), by the prefix rule above.
commandSwitches scanSwitches(const QStringList& arguments);

/// A parsed /select rule.
struct selectRule {
    enum kind { address, adaptor, prefix, malformed };
    kind type = malformed;
    QString text;        ///< the rule as given
    quint32 network = 0; ///< address or prefix, host order
    int bits = 32;       ///< prefix length
    QString problem;     ///< why it is malformed
    /// The switch as given ("/select=10.0.0.0/8", or "/select" without a rule).
    QString shown() const { return text.isNull() ? QStringLiteral("/select") : QStringLiteral("/select=") + text; }
};

/// Reads a rule: a dotted-quad IPv4 address, an IPv4 prefix (a.b.c.d/n), or else an adaptor ID; text that looks like an
/// address or prefix but is none, or is empty, is malformed.
selectRule parseSelectRule(const QString& text);

/// The rule of switches: malformed when /select has no '=' or is given more than once.
selectRule ruleOf(const commandSwitches& switches);

/// Indexes of the rows the rule matches, in row order; none for a malformed rule.
std::vector<int> matchingRows(const std::list<networkDest>& rows, const selectRule& rule);

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

/// One line per row for /list: name, address, adaptor ID and "stored" or nothing, tab-separated; control characters in
/// a field become spaces.
QString listing(const std::vector<adaptorRow>& rows);

/// One line per row for a stderr explanation: the three fields, tab-separated.
QString rowLine(const networkDest& row);
