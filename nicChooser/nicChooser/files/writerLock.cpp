#include "writerLock.h"
#include "debugLog.h"

#include <QElapsedTimer>
#include <QThread>

namespace {

constexpr int pollMs = 5;
constexpr int hookEveryMs = 50;

} // namespace

outcome waitForLock(const std::function<lockAttempt()>& attempt, int timeoutMs, const lockWaitHook& hook,
                    const QString& shown)
{
    QElapsedTimer clock;
    clock.start();
    qint64 asked = -hookEveryMs;
    for (bool first = true;; first = false) {
        const lockAttempt a = attempt();
        if (a.tried != outcome::busy)
            return a.tried;
        if (a.readersOnly) {
            ncDebug() << "Only readers hold locks on" << shown
                      << "; not waiting for them: the file is checked before it is replaced instead";
            return {outcome::busy, QStringLiteral("only readers hold locks on it")};
        }
        // Once, so that a log shows where a run spent its wait.
        if (first)
            ncDebug() << "Waiting for" << a.holder << "to finish with" << shown;
        if (hook && clock.elapsed() - asked >= hookEveryMs) {
            asked = clock.elapsed();
            if (!hook(a.holder)) {
                ncDebug() << "Stopped waiting for the writer holding" << shown;
                return {outcome::stopped, QStringLiteral("stopped waiting for %1 to finish with it").arg(a.holder)};
            }
        } else if (!hook && clock.elapsed() > timeoutMs) {
            ncDebug() << "Another writer holds" << shown << "; gave up after" << timeoutMs << "ms";
            return {outcome::failed,
                    QStringLiteral("%1 kept it locked for %2 seconds").arg(a.holder).arg(timeoutMs / 1000.0)};
        }
        QThread::msleep(pollMs);
    }
}
