#include "testSupport.h"

#include <QDeadlineTimer>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

bool underWine()
{
#ifdef Q_OS_WIN
    // Wine's own entry in its system library, which Windows' lacks.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

bool waitForError(QProcess* p, const QByteArray& text, QByteArray* seen, int limitMs)
{
    QDeadlineTimer limit(limitMs);
    p->setReadChannel(QProcess::StandardError);
    while (!seen->contains(text) && p->state() != QProcess::NotRunning && !limit.hasExpired()) {
        p->waitForReadyRead(100);
        *seen += p->readAllStandardError();
    }
    *seen += p->readAllStandardError();
    return seen->contains(text);
}

bool underCi()
{
    return qEnvironmentVariable("CI") == QLatin1String("true");
}
