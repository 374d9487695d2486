// Times one DDS update inside this process and prints microseconds, so that
// the tool's update and the bare toolkit round trip are compared without
// process start-up, and with the same libraries loaded.
//   updateTimer ours FILE ADDRESS   the tool's update of FILE, in place
//   updateTimer dom FILE OUT        the toolkit's DOM: parse FILE, save to OUT
//   updateTimer dom-synced FILE OUT the same, then flushed to the disk as the
//                                   tool flushes its new file
#include "nicChooser.h"

#include <QCoreApplication>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

namespace {
void quiet(QtMsgType, const QMessageLogContext&, const QString&)
{}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4)
        return 2;
    qInstallMessageHandler(quiet);
    QElapsedTimer clock;
    clock.start();
    if (args[1] == QLatin1String("ours")) {
        if (updateOsplConfig(args[2], args[3], delve) != outcome::done)
            return 1;
    } else {
        QFile in(args[2]);
        QDomDocument doc;
        if (!in.open(QIODevice::ReadOnly) || !doc.setContent(in.readAll()))
            return 1;
        QFile out(args[3]);
        if (!out.open(QIODevice::WriteOnly))
            return 1;
        QTextStream stream(&out);
        doc.save(stream, 3);
        stream.flush();
        out.flush();
        if (args[1] == QLatin1String("dom-synced"))
            ::fdatasync(out.handle());
        out.close();
    }
    std::printf("%lld\n", clock.nsecsElapsed() / 1000);
    return 0;
}
