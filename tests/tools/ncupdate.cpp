// Runs one of the tool's real write paths from the command line, for tests
// that need a separate process:
//   ncupdate ospl FILE ADDRESS       update the DDS configuration
//   ncupdate ini FILE KEY VALUE...   set keys in section xDS in one write
//   ncupdate choice INI XML ADDRESS ADAPTOR
//                                    store a choice in both files, as Ok does
// Exit status: 0 when written or already up to date, 1 otherwise.
// With NC_REPORT_PEAK set it ends by printing its peak memory to stderr as
// "peak-kb N": the figure is its own, not inherited from whoever started it.
#include "choiceStore.h"
#include "localSettings.h"
#include "delve.h"
#include "osplConfig.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

int run(const QStringList& args);

void reportPeak()
{
    if (!std::getenv("NC_REPORT_PEAK"))
        return;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            std::fprintf(stderr, "peak-kb %ld\n", std::strtol(line.c_str() + 6, nullptr, 10));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int status = run(app.arguments());
    reportPeak();
    return status;
}

namespace {

int run(const QStringList& args)
{
    if (args.size() == 4 && args[1] == QLatin1String("ospl")) {
        return updateOsplConfig(args[2], args[3], delve).ok() ? 0 : 1;
    }
    if (args.size() >= 5 && args.size() % 2 == 1 && args[1] == QLatin1String("ini")) {
        QList<settingsEntry> entries;
        for (int i = 3; i < args.size(); i += 2)
            entries.append({args[i], args[i + 1]});
        return writeSettings(args[2], entries).ok() ? 0 : 1;
    }
    if (args.size() == 6 && args[1] == QLatin1String("choice"))
        return storeChoice(args[2], args[3], args[4], args[5], delve).ok() ? 0 : 1;
    fprintf(stderr,
            "usage: ncupdate ospl FILE ADDRESS | ini FILE KEY VALUE [KEY VALUE...] | choice INI XML ADDRESS ADAPTOR\n");
    return 2;
}

} // namespace
