#include "measure.h"
#include "processes.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace bench {

const QString tool = QStringLiteral(NC_EXECUTABLE);
const QString update = QStringLiteral(NC_UPDATE_TOOL);
const QString bareDialog = QStringLiteral(NB_BARE_DIALOG);
const QString bareConsole = QStringLiteral(NB_BARE_CONSOLE);
const QString bareConsoleLinked = QStringLiteral(NB_BARE_CONSOLE_LINKED);
const QString bareForm = QStringLiteral(NB_BARE_FORM);
const QString updateTimer = QStringLiteral(NB_UPDATE_TIMER);
const QString dialogOpen = QStringLiteral(NB_DIALOG_OPEN);
const QString sourceDir = QStringLiteral(NB_SOURCE_DIR);
const QString addressPath = QStringLiteral("/OpenSplice/DDSI2Service/General/NetworkInterfaceAddress");

QString work;
bool quick = false;
int failures = 0;

sample run(const QStringList& cmd, const QStringList& env)
{
    runOptions options;
    options.environment = env;
    options.captureOutput = true;
    options.timeoutMs = 600000;
    const runResult r = runProcess(cmd.front(), cmd.mid(1), options);
    sample s;
    s.ok = r.started && r.exitCode == 0;
    s.ms = r.elapsedUs / 1e3;
    s.peakKb = r.kernelPeakKb;
    s.out = r.output;
    if (!s.ok) {
        std::fprintf(stderr, "ncbench: failed: %s\n", qPrintable(cmd.join(' ')));
        ++failures;
    }
    return s;
}

bool shell(const QString& script)
{
    return run({"sh", "-c", script}).ok;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::vector<figures> alternate(int rounds, const std::vector<std::function<sample()>>& jobs)
{
    std::vector<figures> f(jobs.size());
    for (int r = 0; r < rounds; ++r)
        for (size_t j = 0; j < jobs.size(); ++j) {
            const sample s = jobs[j]();
            f[j].ms.push_back(s.ms);
            f[j].kb.push_back(double(s.peakKb));
        }
    return f;
}

void copy(const QString& from, const QString& to)
{
    QFile::remove(to);
    QFile::copy(from, to);
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& data)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(data);
}

netns::netns(const QString& name, int interfaces) : name_(name)
{
    shell("ip netns del " + name + " 2>/dev/null || true");
    ok_ = shell("ip netns add " + name);
    QByteArray batch = "link set lo up\n";
    for (int p = 0; p < interfaces / 2; ++p) {
        const QByteArray a = "nba" + QByteArray::number(p);
        const QByteArray b = "nbb" + QByteArray::number(p);
        batch += "link add " + a + " type veth peer name " + b + "\n";
        batch += "addr add 10.100." + QByteArray::number(p / 250) + '.' + QByteArray::number(p % 250 + 1) + "/32 dev "
                 + a + "\n";
        batch += "addr add 10.101." + QByteArray::number(p / 250) + '.' + QByteArray::number(p % 250 + 1) + "/32 dev "
                 + b + "\n";
        batch += "link set " + a + " up\nlink set " + b + " up\n";
    }
    const QString file = work + "/" + name + ".batch";
    writeAll(file, batch);
    ok_ = ok_ && shell("ip -n " + name + " -batch " + file);
}

bool addPair(const netns& ns, const QString& peerAddress)
{
    const QString ip = "ip -n " + ns.name();
    const bool ok =
        ns.ok()
        && shell(ip + " link add nb0 type veth peer name nb0p && " + ip + " addr add 10.66.0.1/24 dev nb0 && "
                 + (peerAddress.isEmpty() ? QString() : ip + " addr add " + peerAddress + "/24 dev nb0p && ") + ip
                 + " link set nb0 up && " + ip + " link set nb0p up");
    if (!ok) {
        std::fprintf(stderr, "ncbench: cannot build the network namespace\n");
        ++failures;
    }
    return ok;
}

void installation::restore() const
{
    copy(iniOrig, ini);
    copy(xmlOrig, xml);
}

installation makeInstallation(const QString& name, const QByteArray& ini)
{
    installation i;
    i.root = work + "/" + name;
    QDir().mkpath(i.root + "/BENCH/config/dds");
    i.ini = i.root + "/local_settings.ini";
    i.xml = i.root + "/BENCH/config/dds/ospl.xml";
    i.iniOrig = work + "/" + name + ".ini";
    i.xmlOrig = work + "/" + name + ".xml";
    writeAll(i.iniOrig, ini);
    copy(sourceDir + "/demo/installation/DEMO/config/dds/ospl.xml", i.xmlOrig);
    i.restore();
    return i;
}

netns::~netns()
{
    shell("ip netns del " + name_);
}

namespace {
struct row {
    QString what, ours, peer;
    double ratio;
    QString target;
    bool met;
};
std::vector<row> table;
} // namespace

void add(const QString& what, const QString& ours, const QString& peer, double ratio, const QString& target, bool met)
{
    table.push_back({what, ours, peer, ratio, target, met});
}

QString ms(double v)
{
    return v >= 100 ? QString::number(v, 'f', 0) + " ms" : QString::number(v, 'f', 1) + " ms";
}

QString mb(double kb)
{
    return QString::number(kb / 1024, 'f', 1) + " MB";
}

QString address(int i)
{
    return QStringLiteral("10.66.%1.%2").arg(i / 200 % 200 + 1).arg(i % 200 + 1);
}

void printTable(int rounds)
{
    std::printf("| measurement | nicChooser | compared with | ratio | target | met |\n");
    std::printf("| --- | ---: | --- | ---: | --- | --- |\n");
    for (const row& r : table)
        std::printf("| %s | %s | %s | %.2f | %s | %s |\n", qPrintable(r.what), qPrintable(r.ours), qPrintable(r.peer),
                    r.ratio, qPrintable(r.target),
                    r.target == "-" || r.target == "reported" ? ""
                    : r.met                                   ? "yes"
                                                              : "**no**");
    std::printf("\n%d rounds per figure (%s), medians.\n", rounds, quick ? "quick run" : "full run");
}

} // namespace bench
