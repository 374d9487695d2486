#include "nicChooser.h"
#include "arrowKeys.h"
#include "debugLog.h"
#include "choiceStore.h"
#include "display.h"
#include "fileReplace.h"
#include "helpDisplay.h"
#include "installPaths.h"
#include "localSettings.h"
#include "modulePath.h"
#include "osplConfig.h"
#include "systemText.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QTimerEvent>
#include <QTreeWidgetItem>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

namespace {

// An unattended run that changed files says so in one line; one that
// changed nothing says nothing.
void tellChanges(const QString& address, const QString& adaptor, const QString& settings, bool created,
                 const QString& dds)
{
    const QString line =
        changeSummary(address, adaptor, QDir::toNativeSeparators(settings), created, QDir::toNativeSeparators(dds));
    if (!line.isEmpty())
        tell(line);
}

// Every /ospl update the configuration took (written or not) says what now
// binds the address and what does not, for the operator as for a log.
void tellBinding(const QString& path, const QString& address, const osplBinding& binding)
{
    tell(bindingLine(QDir::toNativeSeparators(path), address, binding,
                     osplUriElsewhere(environmentText("OSPL_URI"), path)));
}

} // namespace

nicChooser::nicChooser(QWidget* parent) : QDialog(parent)
{
    ui.setupUi(this);
    // Today's size wherever it fits; a screen too small for it (a high
    // scale factor on a small screen) gets the dialog as large as it can.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        resize(fittedSize(size(), screen->availableGeometry()));

    const commandSwitches switches = scanSwitches(QCoreApplication::arguments());
    osplMode = switches.ospl;
    silentMode = switches.silent;

    ui.okButton->setEnabled(false);

    const QString root = environmentText("CC_ROOT");
    const QString system = environmentText("CC_SYSTEM");
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
    highlightFramedRowFirst(ui.treeAdapters);
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
    QString line = statusLine(storedAddress, storedAdaptor, valid, int(dests.size()), ruleGiven ? &rule : nullptr,
                              int(matches.size()), unreadable, adaptorHolding(storedAddress));
    const QString ignored = unknownArguments(switches.unknown);
    if (!ignored.isEmpty())
        line += QLatin1Char(' ') + oneLine(ignored.at(0).toUpper() + ignored.mid(1)) + QLatin1Char('.');
    ui.statusLabel->setText(line);

    if (silentMode)
        runUnattended(switches, rule, matches, storedAddress, storedAdaptor, unreadable);
}

nicChooser::~nicChooser() = default;

// The silent path: does what was asked without a person, or leaves the
// dialog open for one when there is somebody to ask.
void nicChooser::runUnattended(const commandSwitches& switches, const selectRule& rule, const std::vector<int>& matches,
                               const QString& storedAddress, const QString& storedAdaptor, const QString& unreadable)
{
    if (switches.selects > 0) {
        if (matches.size() == 1) {
            store(*std::next(dests.begin(), matches.front()), false);
        } else {
            status = unstoredStatus(rule, int(matches.size()));
            tell(unstoredLine(rule, int(dests.size()), int(matches.size())));
            for (const QString& line : candidateLines(dests, rule, matches))
                tell(line);
        }
        startCloseTimer();
        return;
    }
    if (valid) {
        osplBinding binding;
        const outcome updated = osplMode ? writeToOspl(storedAddress, &binding) : outcome(outcome::unchanged);
        if (updated == outcome::done)
            tellChanges(storedAddress, storedAdaptor, QString(), false, osplConfigPath(ccRoot, ccSystem));
        if (osplMode && osplUpdated(updated))
            tellBinding(osplConfigPath(ccRoot, ccSystem), storedAddress, binding);
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
                                   ? storedNoRow(storedAddress, storedAdaptor, adaptorHolding(storedAddress))
                                   : QStringLiteral("the settings file cannot be read (%1)").arg(unreadable);
        tell(stored
             + QStringLiteral(" and no /select was given, and there is no display to ask on; nothing was "
                              "written"));
        startCloseTimer();
    }
}

// The rows a rule matched, or every row when it matched none.
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

QString nicChooser::adaptorHolding(const QString& address) const
{
    if (address.isEmpty())
        return QString();
    for (const networkDest& row : dests)
        if (row.address == address)
            return row.adaptorId;
    return QString();
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
    ui.okButton->setEnabled(!storing && item && item->isSelected());
}

void nicChooser::accept()
{
    // The highlighted row: current and selected. A current row that is not
    // selected (moved to with Ctrl) is not what the operator sees chosen.
    QTreeWidgetItem* item = ui.treeAdapters->currentItem();
    if (!item || !item->isSelected() || storing)
        return;
    const networkDest row = *std::next(dests.begin(), ui.treeAdapters->indexOfTopLevelItem(item));
    if (store(row, true))
        QDialog::accept();
}

// Both keys in one replacement, then the DDS configuration; false (with the
// failure told and the status set) when either did not take. The operator
// may stop a wait for another writer with Cancel: nothing is written then.
bool nicChooser::store(const networkDest& row, bool personAsked)
{
    const QString settings = localSettingsPath(ccRoot);
    const QString ospl = osplMode ? osplConfigPath(ccRoot, ccSystem) : QString();
    const lockWaitHook noWait;
    waitStopped = false;
    // No second Ok while this one may wait; the focus stays where it was.
    const QPointer<QWidget> focused = QApplication::focusWidget();
    storing = true;
    twCurrentItemChanged();
    const storeOutcome result =
        storeChoice(settings, ospl, row.address, row.adaptorId, delve, personAsked ? waitingFor(settings) : noWait,
                    personAsked ? waitingFor(ospl) : noWait);
    storing = false;
    twCurrentItemChanged();
    if (focused)
        focused->setFocus();
    // Names and reasons from the file system, shown as one line each.
    const QString address = oneLine(row.address), adaptor = oneLine(row.adaptorId);
    const QString settingsShown = oneLine(QDir::toNativeSeparators(settings));
    // What the files hold now, for whoever looks again.
    QString line = statusLine(row.address, row.adaptorId, result.settings.ok(), int(dests.size()), nullptr, 0);
    if (result.settingsCreated)
        line += QStringLiteral(" The settings file %1 did not exist and was created.").arg(settingsShown);
    if (!result.settings.ok() && waitStopped) {
        status = exitDone; // cancelled while waiting: nothing was written
        return false;
    }
    if (!result.settings.ok()) {
        // A file changed part way says so in its reason.
        const QString after = result.settings == outcome::incomplete ? QString()
                                                                     : QStringLiteral("\n\nNothing was changed.");
        fail(exitSettingsFailed, QStringLiteral("nicChooser: Not stored"),
             QStringLiteral("could not store %1 on %2 in the settings file %3: %4.%5")
                 .arg(address, adaptor, settingsShown, oneLine(result.settings.reason()), after),
             personAsked);
        return false;
    }
    ui.statusLabel->setText(line);
    if (!result.ok()) {
        fail(exitDdsFailed, QStringLiteral("nicChooser: DDS configuration not updated"),
             QStringLiteral("stored %1 on %2 in the settings file %3, but could not update the DDS configuration "
                            "%4: %5.")
                 .arg(address, adaptor, settingsShown, oneLine(QDir::toNativeSeparators(ospl)),
                      oneLine(result.dds.reason())),
             personAsked);
        return false;
    }
    if (!personAsked)
        tellChanges(row.address, row.adaptorId, result.settings == outcome::done ? settings : QString(),
                    result.settingsCreated, result.dds == outcome::done ? ospl : QString());
    if (!ospl.isEmpty())
        tellBinding(ospl, row.address, result.ddsBinding);
    status = exitDone;
    return true;
}

// While another writer holds path: the status line says who, the window
// stays live, and a Cancel (which hides the dialog) stops the wait.
lockWaitHook nicChooser::waitingFor(const QString& path)
{
    return [this, path](const QString& holder) {
        if (!isVisible()) {
            waitStopped = true;
            return false;
        }
        const QString waiting = QStringLiteral("Waiting for %1 to finish with %2; Cancel stops waiting.")
                                    .arg(oneLine(holder), oneLine(QFileInfo(path).fileName()));
        if (ui.statusLabel->text() != waiting)
            ui.statusLabel->setText(waiting);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 40);
        waitStopped = !isVisible();
        return !waitStopped;
    };
}

void nicChooser::fail(int code, const QString& title, const QString& text, bool personAsked)
{
    status = code;
    ncDebug() << text;
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

outcome nicChooser::writeToOspl(const QString& address, osplBinding* binding)
{
    return updateOsplConfig(osplConfigPath(ccRoot, ccSystem), address, delve, lockWaitHook(), binding);
}

void nicChooser::doHelp()
{
    QStringList tried;
    for (const QString& path : helpFilePlaces(modulePath())) {
        if (showHelp(this, path))
            return;
        tried << oneLine(path);
    }
    // Title and text, "extention" included, are the words operators and their
    // documentation know this box by: kept verbatim on purpose, with every
    // place looked at, one a line.
    QMessageBox::critical(this, QStringLiteral("Ooops"),
                          QStringLiteral("Can't open help file\n\nThis needs to be alongside the executable with "
                                         "the same name but .chm extention\n\nI tried to open:\n")
                              + tried.join(QLatin1Char('\n')),
                          QMessageBox::Ok, QMessageBox::NoButton);
}
