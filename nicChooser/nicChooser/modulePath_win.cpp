#include "modulePath.h"

#include <vector>

#include <windows.h>

QString modulePath()
{
    // The wide call, so that a folder named in letters the ANSI code page
    // lacks is not turned into question marks; a path that fills the buffer
    // may have been cut, so the buffer grows until the path fits.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
        if (n == 0)
            return QString();
        if (n < buffer.size())
            return QString::fromWCharArray(buffer.data(), int(n));
        if (buffer.size() >= 32768) // the longest path the system has
            return QString();
        buffer.resize(buffer.size() * 2);
    }
}
