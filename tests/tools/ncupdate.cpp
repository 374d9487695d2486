// Runs one of the tool's real write paths from the command line, for tests
// that need a separate process:
//   ncupdate ospl FILE ADDRESS       update the DDS configuration
//   ncupdate ini FILE KEY VALUE      set a key in section xDS
// Exit status: 0 when written or already up to date, 1 otherwise.
#include "localSettings.h"
#include "osplConfig.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("ospl")) {
        const osplResult r = updateOsplConfig(args[2], args[3]);
        return r == osplResult::written || r == osplResult::unchanged ? 0 : 1;
    }
    if (args.size() == 5 && args[1] == QLatin1String("ini"))
        return writeSetting(args[2], args[3], args[4]) ? 0 : 1;
    fprintf(stderr, "usage: ncupdate ospl FILE ADDRESS | ini FILE KEY VALUE\n");
    return 2;
}
