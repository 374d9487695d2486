#include "modulePath.h"
#include "modulePath_win.h"

#include <vector>

QString wholeModuleName(const std::function<DWORD(wchar_t* buffer, DWORD size)>& fill)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = fill(buffer.data(), DWORD(buffer.size()));
        if (n == 0)
            return QString();
        if (n < buffer.size())
            return QString::fromWCharArray(buffer.data(), int(n));
        // A name that fills the buffer may have been cut.
        if (buffer.size() >= 32768)
            return QString();
        buffer.resize(buffer.size() * 2);
    }
}

QString modulePath()
{
    // The wide call, so that a folder named in letters the ANSI code page
    // lacks is not turned into question marks.
    return wholeModuleName([](wchar_t* buffer, DWORD size) { return GetModuleFileNameW(nullptr, buffer, size); });
}
