#pragma once
// What the command line asks for, kept free of widgets: the switches, the
// /select rule and the rows it matches.
//
// Switches are matched as prefixes of any argument, case-sensitively, and
// each argument counts once, tested in this order: "/ospl", "/silent",
// "/list", "/select", "/check". So "/osplx" is /ospl, and "/select=RULE"
// carries its rule after the first '='.

#include "adaptorRows.h"

#include <QString>
#include <QStringList>

#include <list>
#include <vector>

/// Switches found on a command line.
struct commandSwitches {
    bool ospl = false;
    bool silent = false;
    bool list = false;
    bool check = false;  ///< audit the installation: no window, nothing written
    int selects = 0;     ///< how many /select arguments there were
    QString rule;        ///< the text after '=' of the last /select (null without '=')
    QStringList unknown; ///< arguments after the program path that match no switch, in order
};

/// The switches of arguments by the prefix rule above; the first argument counts too unless it names an existing
/// file (the program's own path).
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
