#include "modulePath.h"

#include <windows.h>

QString modulePath()
{
    char buffer[260] = {};
    const DWORD n = GetModuleFileNameA(GetModuleHandleA(NULL), buffer, sizeof buffer);
    return QString::fromLocal8Bit(buffer, int(n));
}
