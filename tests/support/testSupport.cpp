#include "testSupport.h"

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

bool underCi()
{
    return qEnvironmentVariable("CI") == QLatin1String("true");
}
