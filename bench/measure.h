#pragma once
// What every benchmark measurement shares: the programs under test, the
// process runner, the alternating rounds and the table the driver prints.
// Each figure is a ratio of two commands measured in the same run,
// alternating between them, as the median of several runs: a busy machine
// slows both sides alike.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace bench {

extern const QString tool;              ///< the nicChooser executable
extern const QString update;            ///< tests/tools/ncupdate: the write paths as commands
extern const QString bareDialog;        ///< floor: the toolkit showing an empty dialog
extern const QString bareConsole;       ///< floor: a console program of the toolkit
extern const QString bareConsoleLinked; ///< the same, loading the libraries the tool links
extern const QString bareForm;          ///< floor: the tool's form with no work
extern const QString updateTimer;       ///< times a DDS update inside one process
extern const QString dialogOpen;        ///< times opening the dialog inside one process
extern const QString sourceDir;
extern const QString addressPath; ///< the XPath of NetworkInterfaceAddress, for xmlstarlet

extern QString work; ///< scratch folder of this run
extern bool quick;   ///< a few rounds on the smallest inputs: proves the measurements run
extern int failures; ///< measurements that did not run or did not do their job

/// One run of a command.
struct sample {
    bool ok = false;
    double ms = 0;
    long peakKb = 0;
    QByteArray out; ///< what it printed
};

/// Runs cmd with extra environment (NAME=value; an empty value unsets), stdout kept, stderr dropped; wall time from
/// fork to reaping, the kernel's peak memory. A failure counts in failures.
sample run(const QStringList& cmd, const QStringList& env = {});

/// sh -c script; true when it succeeded.
bool shell(const QString& script);

double median(std::vector<double> v);

/// Times and peak memories of one job over the rounds.
struct figures {
    std::vector<double> ms, kb;
};

/// Runs the jobs in turn, round after round.
std::vector<figures> alternate(int rounds, const std::vector<std::function<sample()>>& jobs);

void copy(const QString& from, const QString& to);
QByteArray readAll(const QString& path);
void writeAll(const QString& path, const QByteArray& data);

/// The n-th of many distinct addresses to write.
QString address(int i);

/// A network namespace holding `interfaces` veth interfaces (in pairs), each up with an IPv4 address of its own;
/// removed on destruction.
class netns
{
public:
    netns(const QString& name, int interfaces);
    ~netns();
    netns(const netns&) = delete;
    netns& operator=(const netns&) = delete;
    bool ok() const { return ok_; }
    const QString& name() const { return name_; }
    /// cmd run inside the namespace.
    QStringList wrap(const QStringList& cmd) const { return QStringList{"ip", "netns", "exec", name_} + cmd; }

private:
    QString name_;
    bool ok_ = false;
};

/// Gives the namespace the veth pair nb0 (10.66.0.1/24) and nb0p (peerAddress/24, when given), both up; false, counted
/// as a failure, when it cannot.
bool addPair(const netns& ns, const QString& peerAddress = QString());

/// An installation of its own for one measurement: its settings file and DDS configuration (a copy of the demo's), and
/// the originals they are restored from.
struct installation {
    QString root, ini, xml, iniOrig, xmlOrig;
    void restore() const;
};

/// Makes the installation work/name (system folder BENCH) with settings text ini.
installation makeInstallation(const QString& name, const QByteArray& ini);

/// Adds a row to the table: what is measured, our figure, the other side's, their ratio, and the target it must meet
/// ("reported" or "-" for none).
void add(const QString& what, const QString& ours, const QString& peer, double ratio, const QString& target, bool met);

/// Prints the table as Markdown.
void printTable(int rounds);

QString ms(double v);
QString mb(double kb);

// The measurements, one file each.
void silentJob(int rounds);      ///< /silent /ospl against the bare toolkit and the usual script
void fleetJobs(int rounds);      ///< /list and /silent /select without a display
void settingsWrites(int rounds); ///< one key set, against crudini, by file size
void configUpdates(int rounds);  ///< the DDS update against the bare DOM round trip and xmlstarlet
void dialogOpening(int rounds);  ///< opening the dialog by number of interfaces

} // namespace bench
