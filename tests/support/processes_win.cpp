// Child processes on Windows, through the toolkit: how it ended, its output
// and its time; another user, peak memory and unnamed files are Linux
// matters, so such a run does not start (started stays false).
#include "processes.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>

bool canRefuseUnnamedFiles()
{
    return false;
}

bool refuseUnnamedFiles()
{
    return false;
}

runResult runProcess(const QString& program, const QStringList& args, const runOptions& options)
{
    runResult r;
    if (options.asNobody || !options.user.isEmpty() || options.noUnnamedFiles)
        return r;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& e : options.environment) {
        const int eq = e.indexOf('=');
        if (eq == e.size() - 1)
            environment.remove(e.left(eq));
        else
            environment.insert(e.left(eq), e.mid(eq + 1));
    }
    QProcess child;
    child.setProcessEnvironment(environment);
    if (!options.captureOutput)
        child.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    QElapsedTimer clock;
    clock.start();
    child.start(program, args);
    if (!child.waitForStarted(options.timeoutMs))
        return r;
    r.started = true;
    if (!child.waitForFinished(options.timeoutMs)) {
        r.timedOut = true;
        child.kill();
        child.waitForFinished(-1);
    }
    r.elapsedUs = clock.nsecsElapsed() / 1000;
    r.errors = child.readAllStandardError();
    if (options.captureOutput)
        r.output = child.readAllStandardOutput();
    // A process ended by TerminateProcess has no signal; its exit code is
    // the one the killer chose.
    if (child.exitStatus() == QProcess::NormalExit && !r.timedOut)
        r.exitCode = child.exitCode();
    else
        r.signal = 9;
    const int at = r.errors.lastIndexOf("peak-kb ");
    if (at >= 0)
        r.peakKb = r.errors.mid(at + 8, r.errors.indexOf('\n', at) - at - 8).toLong();
    return r;
}
