#include "nicChooser.h"
#include "fileReplace.h"
#include "helpDisplay.h"
#include "installPaths.h"
#include "localSettings.h"
#include "modulePath.h"
#include "osplConfig.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMessageBox>
#include <QTimerEvent>
#include <QTreeWidgetItem>

commandSwitches scanSwitches(const QStringList& arguments)
{
    commandSwitches s;
    for (const QString& arg : arguments) {
        if (arg.startsWith(QLatin1String("/ospl")))
            s.ospl = true;
        else if (arg.startsWith(QLatin1String("/silent")))
            s.silent = true;
    }
    return s;
}

nicChooser::nicChooser(QWidget* parent)
    : QDialog(parent)
{
    ui.setupUi(this);

    const commandSwitches switches = scanSwitches(QCoreApplication::arguments());
    osplMode = switches.ospl;
    silentMode = switches.silent;

    ui.okButton->setEnabled(false);

    const QString root = environmentValue("CC_ROOT");
    const QString system = environmentValue("CC_SYSTEM");
    if (root.isNull() || system.isNull()) {
        QMessageBox::critical(this, QStringLiteral("nicChooser: Fatal error"),
                              QStringLiteral("Can't set the adaptor - there's nowhere to write the value to "
                                             "because CC_ROOT environment variable is not set"),
                              QMessageBox::Ok, QMessageBox::NoButton);
        startCloseTimer();
        return;
    }
    ccRoot = root;
    ccSystem = system;

    connect(ui.treeAdapters, SIGNAL(itemSelectionChanged()), this, SLOT(twCurrentItemChanged()));
    connect(ui.actionhelpAction, SIGNAL(triggered()), this, SLOT(doHelp()));

    // Read from the same text that accept() writes to, so both always agree.
    const QString settings = localSettingsPath(ccRoot);
    const QString storedAddress = readSetting(settings, QStringLiteral("bindAddress"));
    const QString storedAdaptor = readSetting(settings, QStringLiteral("Adaptor"));

    addInterfaceRows(storedAddress, storedAdaptor);
    valid = isValid(storedAddress, storedAdaptor);

    if (silentMode && valid) {
        if (osplMode)
            writeToOspl(storedAddress);
        startCloseTimer();
    }
}

nicChooser::~nicChooser() = default;

void nicChooser::addInterfaceRows(const QString& storedAddress, const QString& storedAdaptor)
{
    const std::vector<adaptorRow> rows = adaptorRows(systemInterfaces(), storedAddress, storedAdaptor);
    for (const adaptorRow& row : rows) {
        auto* item = new QTreeWidgetItem(ui.treeAdapters,
                                         QStringList{row.dest.displayName, row.dest.address, row.dest.adaptorId});
        if (row.selected)
            item->setSelected(true);
        dests.push_back(row.dest);
    }
    for (int column = 0; column < 3; ++column)
        ui.treeAdapters->resizeColumnToContents(column);
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
    ui.okButton->setEnabled(!ui.treeAdapters->selectedItems().isEmpty());
}

void nicChooser::accept()
{
    // The current item, not the selection: it is the row the operator last
    // clicked or moved to, which a pre-selected row need not be.
    const QTreeWidgetItem* item = ui.treeAdapters->currentItem();
    if (!item)
        return;
    const QString address = item->text(1);
    const QString adaptor = item->text(2);

    const QString settings = localSettingsPath(ccRoot);
    writeSetting(settings, QStringLiteral("bindAddress"), address);
    writeSetting(settings, QStringLiteral("Adaptor"), adaptor);
    if (osplMode)
        writeToOspl(address);

    QDialog::accept();
}

void nicChooser::writeToOspl(const QString& address)
{
    updateOsplConfig(osplConfigPath(ccRoot, ccSystem), address);
}

void nicChooser::doHelp()
{
    const QString path = helpFilePath(modulePath());
    if (showHelp(this, path))
        return;
    QMessageBox::critical(this, QStringLiteral("Ooops"),
                          QStringLiteral("Can't open help file\n\nThis needs to be alongside the executable with "
                                         "the same name but .chm extention\n\nI tried to open:\n")
                              + path,
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

osplResult rewriteOsplConfig(const QByteArray& input, const QString& address, QByteArray* output)
{
    output->clear();
    const QString unsafe = osplValueProblem(address);
    if (!unsafe.isEmpty()) {
        qDebug() << "Not writing" << address << "into the QoS file:" << unsafe;
        return osplResult::unsupported;
    }
    osplDocument doc(input);
    if (doc.isNull())
        return doc.verdict();
    QDomNode root = doc.documentElement();
    if (!delve(root, osplElementPath(), address))
        return osplResult::notFound;
    *output = doc.serialised();
    return *output == input ? osplResult::unchanged : osplResult::written;
}

osplResult updateOsplConfig(const QString& path, const QString& address, QString* reason)
{
    auto say = [reason](const QString& why) {
        if (reason)
            *reason = why;
    };
    // Never created: an installation without the file does not use it.
    fileEdit file(path, false);
    if (file.unreadable() || file.missing()) {
        qDebug() << "Can't open QoS file for reading";
        say(file.reason());
        return osplResult::unreadable;
    }
    if (!file.ready()) {
        say(file.reason());
        return osplResult::writeFailed;
    }
    QByteArray output;
    const osplResult r = rewriteOsplConfig(file.bytes(), address, &output);
    switch (r) {
    case osplResult::written:
        break;
    case osplResult::unchanged:
        qDebug() << "QoS file already holds" << address << "; not rewritten";
        return r;
    case osplResult::malformed:
        say(QStringLiteral("it is not well-formed XML"));
        return r;
    case osplResult::unsupported:
        say(QStringLiteral("rewriting it would lose or change part of it"));
        return r;
    default:
        return r;
    }
    if (!file.replace(output)) {
        qDebug() << "Can't open QoS file for writing:" << path;
        say(file.reason());
        return osplResult::writeFailed;
    }
    return osplResult::written;
}
