#pragma once
// The adaptor chooser dialog: lists the machine's usable IPv4 addresses and
// stores the chosen one for the installation's xDS transport.

#include "adaptorRows.h"
#include "runReport.h"
#include "fileReplace.h"
#include "delve.h"
#include "osplConfig.h"
#include "ui_nicChooser.h"

#include <QDialog>
#include <QDomNode>
#include <QString>
#include <QStringList>

#include <list>

class QTimerEvent;

class nicChooser : public QDialog
{
    Q_OBJECT

public:
    /// Does all of the tool's start-up work: switches, environment, stored choice, rows, the silent path.
    explicit nicChooser(QWidget* parent = nullptr);
    ~nicChooser() override;

    /// True when a listed row carries exactly this address and adaptor ID.
    bool isValid(const QString& address, const QString& adaptorId);

    /// What the process's exit status should tell (an exitStatus): the last attempt's outcome.
    int exitCode() const { return status; }

    /// The dialog has done its work (or cannot do any) and closes itself once the event loop runs.
    bool closing() const { return closeTimerId != 0; }

protected:
    void timerEvent(QTimerEvent* event) override;

public slots:
    /// Stores the highlighted row (the current one, when selected) and updates the DDS configuration under /ospl; a
    /// failure is shown and the dialog stays open. Without such a row does nothing.
    void accept() override;

private slots:
    void twCurrentItemChanged();
    void doHelp();

private:
    void addInterfaceRows(const QString& storedAddress, const QString& storedAdaptor);
    outcome writeToOspl(const QString& address, osplBinding* binding);
    void startCloseTimer();
    void runUnattended(const commandSwitches& switches, const selectRule& rule, const std::vector<int>& matches,
                       const QString& storedAddress, const QString& storedAdaptor, const QString& unreadable);
    bool store(const networkDest& row, bool personAsked);
    void fail(int code, const QString& title, const QString& text, bool personAsked);
    void makeCurrent(int row);
    /// The adaptor ID of the first row carrying address; empty when none does.
    QString adaptorHolding(const QString& address) const;
    lockWaitHook waitingFor(const QString& path);

    Ui_nicChooserClass ui;
    bool valid = false;
    QString ccRoot;
    QString ccSystem;
    bool osplMode = false;
    bool silentMode = false;
    int closeTimerId = 0;
    std::list<networkDest> dests;
    int status = exitDone;
    bool waitStopped = false; ///< the operator stopped a wait for another writer
    bool storing = false;     ///< a store is under way (and may be waiting): Ok is off
};

