#pragma once
// The adaptor chooser dialog: lists the machine's usable IPv4 addresses and
// stores the chosen one for the installation's xDS transport.

#include "adaptorRows.h"
#include "osplConfig.h"
#include "ui_nicChooser.h"

#include <QDialog>
#include <QDomNode>
#include <QString>
#include <QStringList>

#include <list>

class QTimerEvent;

/// Switches found on a command line: any argument starting with "/ospl" sets ospl; any other starting with "/silent" sets silent (case-sensitive).
struct commandSwitches {
    bool ospl = false;
    bool silent = false;
};
commandSwitches scanSwitches(const QStringList& arguments);

class nicChooser : public QDialog
{
    Q_OBJECT

public:
    /// Does all of the tool's start-up work: switches, environment, stored choice, rows, the silent path.
    explicit nicChooser(QWidget* parent = nullptr);
    ~nicChooser() override;

    /// True when a listed row carries exactly this address and adaptor ID.
    bool isValid(const QString& address, const QString& adaptorId);

protected:
    void timerEvent(QTimerEvent* event) override;

public slots:
    /// Stores the current row (and updates the DDS configuration under /ospl); without a current row does nothing.
    void accept() override;

private slots:
    void twCurrentItemChanged();
    void doHelp();

private:
    void addInterfaceRows(const QString& storedAddress, const QString& storedAdaptor);
    void writeToOspl(const QString& address);
    void startCloseTimer();

    Ui_nicChooserClass ui;
    bool valid = false;
    QString ccRoot;
    QString ccSystem;
    bool osplMode = false;
    bool silentMode = false;
    int closeTimerId = 0;
    std::list<networkDest> dests;
};

/// Walks path from node through the first element of each name (exact match) and sets the last one's text to value; true when that element was found.
bool delve(QDomNode& node, const QStringList& path, const QString& value);

/// The DDS configuration input with the address set (read, delve, serialise), in *output; the result says whether there is anything to write. Debug lines say why not.
osplResult rewriteOsplConfig(const QByteArray& input, const QString& address, QByteArray* output);

/// Locks, reads and rewrites the DDS configuration at path with the address, replacing it atomically when that changes it; *reason in plain words when it fails.
osplResult updateOsplConfig(const QString& path, const QString& address, QString* reason = nullptr);
