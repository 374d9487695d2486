#include "nicChooser.h"
#include "choiceStore.h"
#include "display.h"
#include "fileReplace.h"
#include "helpDisplay.h"
#include "installPaths.h"
#include "localSettings.h"
#include "modulePath.h"
#include "osplConfig.h"
#include "systemText.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QMessageBox>
#include <QTimerEvent>
#include <QTreeWidgetItem>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

void tell(const QString& text)
{
    // One line whatever names it holds, in the system's own bytes, so that a
    // folder name that is not UTF-8 shows as the terminal shows it elsewhere.
    std::fprintf(stderr, "nicChooser: %s\n", systemBytes(oneLine(text, true)).constData());
    std::fflush(stderr);
}

nicChooser::nicChooser(QWidget* parent) : QDialog(parent)
{
    ui.setupUi(this);

    const commandSwitches switches = scanSwitches(QCoreApplication::arguments());
    osplMode = switches.ospl;
    silentMode = switches.silent;

    ui.okButton->setEnabled(false);

    const QString root = environmentValue("CC_ROOT");
    const QString system = environmentValue("CC_SYSTEM");
    const QString missing = missingVariables(root, system);
    if (!missing.isEmpty()) {
        status = exitNoVariable;
        if (silentMode && !personPresent())
            tell(fatalText(missing));
        else
            QMessageBox::critical(this, QStringLiteral("nicChooser: Fatal error"), fatalText(missing), QMessageBox::Ok,
                                  QMessageBox::NoButton);
        startCloseTimer();
        return;
    }
    ccRoot = root;
    ccSystem = system;

    connect(ui.treeAdapters, SIGNAL(itemSelectionChanged()), this, SLOT(twCurrentItemChanged()));
    connect(ui.treeAdapters, SIGNAL(currentItemChanged(QTreeWidgetItem*, QTreeWidgetItem*)), this,
            SLOT(twCurrentItemChanged()));
    connect(ui.treeAdapters, SIGNAL(itemDoubleClicked(QTreeWidgetItem*, int)), this, SLOT(accept()));
    connect(ui.actionhelpAction, SIGNAL(triggered()), this, SLOT(doHelp()));
    // Part of the dialog, so that F1 reaches it wherever the focus is.
    addAction(ui.actionhelpAction);

    // Read from the same text that accept() writes to, so both always agree.
    const QString settings = localSettingsPath(ccRoot);
    QStringList stored;
    const outcome read = readSettings(settings, {QStringLiteral("bindAddress"), QStringLiteral("Adaptor")}, &stored);
    // No file yet is nothing stored yet, not a failure.
    const QString unreadable = read.ok() || read == outcome::missing ? QString() : read.reason();
    const QString storedAddress = stored.value(0);
    const QString storedAdaptor = stored.value(1);

    addInterfaceRows(storedAddress, storedAdaptor);
    valid = isValid(storedAddress, storedAdaptor);

    const bool ruleGiven = switches.selects > 0;
    const selectRule rule = ruleGiven ? ruleOf(switches) : selectRule();
    const std::vector<int> matches = ruleGiven ? matchingRows(dests, rule) : std::vector<int>();
    if (matches.size() == 1)
        makeCurrent(matches.front());
    ui.statusLabel->setText(statusLine(storedAddress, storedAdaptor, valid, int(dests.size()),
                                       ruleGiven ? &rule : nullptr, int(matches.size()), unreadable));

    if (silentMode)
        runUnattended(switches, rule, matches, storedAddress, unreadable);
}

nicChooser::~nicChooser() = default;

// The silent path: does what was asked without a person, or leaves the
// dialog open for one when there is somebody to ask.
void nicChooser::runUnattended(const commandSwitches& switches, const selectRule& rule, const std::vector<int>& matches,
                               const QString& storedAddress, const QString& unreadable)
{
    if (switches.selects > 0) {
        if (matches.size() == 1) {
            store(*std::next(dests.begin(), matches.front()), false);
        } else {
            QString why;
            if (rule.type == selectRule::malformed) {
                status = exitBadRule;
                why = QStringLiteral("%1 is not usable: %2; nothing was written").arg(rule.shown(), rule.problem);
            } else {
                status = matches.empty() ? exitNoMatch : exitSeveralMatch;
                if (dests.empty())
                    why = QStringLiteral("%1 matches no row, as no interface is up, running and able to multicast; "
                                         "nothing was written")
                              .arg(rule.shown());
                else if (matches.empty())
                    why = QStringLiteral("%1 matches none of these rows; nothing was written").arg(rule.shown());
                else
                    why =
                        QStringLiteral("%1 matches %2 rows; nothing was written").arg(rule.shown()).arg(matches.size());
            }
            tell(why);
            int index = 0;
            for (const networkDest& row : dests) {
                if (matches.empty() || std::find(matches.begin(), matches.end(), index) != matches.end())
                    tell(QStringLiteral("  ") + rowLine(row));
                ++index;
            }
        }
        startCloseTimer();
        return;
    }
    if (valid) {
        const outcome updated = osplMode ? writeToOspl(storedAddress) : outcome(outcome::unchanged);
        if (!osplUpdated(updated)) {
            fail(exitDdsFailed, QString(),
                 QStringLiteral("could not update the DDS configuration %1: %2")
                     .arg(oneLine(QDir::toNativeSeparators(osplConfigPath(ccRoot, ccSystem))),
                          oneLine(updated.reason())),
                 false);
        }
        startCloseTimer();
        return;
    }
    if (!personPresent()) {
        status = exitNoDisplay;
        const QString stored = unreadable.isEmpty()
                                   ? QStringLiteral("the stored choice names no row here")
                                   : QStringLiteral("the settings file cannot be read (%1)").arg(unreadable);
        tell(stored
             + QStringLiteral(" and no /select was given, and there is no display to ask on; nothing was "
                              "written"));
        startCloseTimer();
    }
}

void nicChooser::addInterfaceRows(const QString& storedAddress, const QString& storedAdaptor)
{
    const std::vector<adaptorRow> rows = adaptorRows(systemInterfaces(), storedAddress, storedAdaptor);
    for (const adaptorRow& row : rows) {
        auto* item = new QTreeWidgetItem(ui.treeAdapters,
                                         QStringList{row.dest.displayName, row.dest.address, row.dest.adaptorId});
        // Current as well as selected: Ok stores the current row, and the
        // toolkit would otherwise make the first row current on focus.
        if (row.selected)
            ui.treeAdapters->setCurrentItem(item);
        dests.push_back(row.dest);
    }
    for (int column = 0; column < 3; ++column)
        ui.treeAdapters->resizeColumnToContents(column);
}

void nicChooser::makeCurrent(int row)
{
    ui.treeAdapters->setCurrentItem(ui.treeAdapters->topLevelItem(row));
}

bool nicChooser::isValid(const QString& address, const QString& adaptorId)
{
    return isListed(dests, address, adaptorId);
}

void nicChooser::startCloseTimer()
{
    if (closeTimerId == 0)
        closeTimerId = startTimer(1, Qt::CoarseTimer);
}

void nicChooser::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != closeTimerId) {
        QDialog::timerEvent(event);
        return;
    }
    killTimer(event->timerId());
    close();
}

void nicChooser::twCurrentItemChanged()
{
    const QTreeWidgetItem* item = ui.treeAdapters->currentItem();
    ui.okButton->setEnabled(item && item->isSelected());
}

void nicChooser::accept()
{
    // The highlighted row: current and selected. A current row that is not
    // selected (moved to with Ctrl) is not what the operator sees chosen.
    QTreeWidgetItem* item = ui.treeAdapters->currentItem();
    if (!item || !item->isSelected())
        return;
    const networkDest row = *std::next(dests.begin(), ui.treeAdapters->indexOfTopLevelItem(item));
    if (store(row, true))
        QDialog::accept();
}

// Both keys in one replacement, then the DDS configuration; false (with the
// failure told and the status set) when either did not take.
bool nicChooser::store(const networkDest& row, bool personAsked)
{
    const QString settings = localSettingsPath(ccRoot);
    const QString ospl = osplMode ? osplConfigPath(ccRoot, ccSystem) : QString();
    const storeOutcome result = storeChoice(settings, ospl, row.address, row.adaptorId, delve);
    // Names and reasons from the file system, shown as one line each.
    const QString address = oneLine(row.address), adaptor = oneLine(row.adaptorId);
    const QString settingsShown = oneLine(QDir::toNativeSeparators(settings));
    if (!result.settings.ok()) {
        fail(exitSettingsFailed, QStringLiteral("nicChooser: Not stored"),
             QStringLiteral("could not store %1 on %2 in the settings file %3: %4.\n\nNothing was changed.")
                 .arg(address, adaptor, settingsShown, oneLine(result.settings.reason())),
             personAsked);
        return false;
    }
    if (!result.ok()) {
        // What the file holds now, for whoever looks again.
        ui.statusLabel->setText(statusLine(row.address, row.adaptorId, true, int(dests.size()), nullptr, 0));
        fail(exitDdsFailed, QStringLiteral("nicChooser: DDS configuration not updated"),
             QStringLiteral("stored %1 on %2 in the settings file %3, but could not update the DDS configuration "
                            "%4: %5.")
                 .arg(address, adaptor, settingsShown, oneLine(QDir::toNativeSeparators(ospl)),
                      oneLine(result.dds.reason())),
             personAsked);
        return false;
    }
    status = exitDone;
    return true;
}

void nicChooser::fail(int code, const QString& title, const QString& text, bool personAsked)
{
    status = code;
    qDebug() << text;
    if (!personAsked) {
        tell(QString(text).replace(QLatin1String("\n\n"), QLatin1String(" ")));
        return;
    }
    QString message = text;
    message[0] = message.at(0).toUpper();
    QMessageBox::critical(this, title,
                          message + QStringLiteral("\n\nFix the cause and press Ok again, or Cancel to leave it."),
                          QMessageBox::Ok, QMessageBox::NoButton);
}

outcome nicChooser::writeToOspl(const QString& address)
{
    return updateOsplConfig(osplConfigPath(ccRoot, ccSystem), address, delve);
}

void nicChooser::doHelp()
{
    const QString path = helpFilePath(modulePath());
    if (showHelp(this, path))
        return;
    // Title and text, "extention" included, are the words operators and their
    // documentation know this box by: kept verbatim on purpose.
    QMessageBox::critical(this, QStringLiteral("Ooops"),
                          QStringLiteral("Can't open help file\n\nThis needs to be alongside the executable with "
                                         "the same name but .chm extention\n\nI tried to open:\n")
                              + oneLine(path),
                          QMessageBox::Ok, QMessageBox::NoButton);
}

bool delve(QDomNode& node, const QStringList& path, const QString& value)
{
    QStringList rest = path;
    const QString name = rest.takeFirst();
    for (; !node.isNull(); node = node.nextSibling()) {
        qDebug() << node.nodeName();
        QDomElement element = node.toElement();
        if (element.isNull() || element.nodeName() != name)
            continue;
        if (rest.isEmpty()) {
            setElementText(element, value);
            return true;
        }
        QDomNode child = element.firstChild();
        return delve(child, rest, value);
    }
    return false;
}
