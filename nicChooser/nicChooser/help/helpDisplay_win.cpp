#include "helpDisplay.h"

#include <QDir>
#include <QWidget>

#include <string>

#include <windows.h>

namespace {

typedef HWND(WINAPI* htmlHelpFunction)(HWND, LPCWSTR, UINT, DWORD_PTR);

const UINT displayTopic = 0; // HH_DISPLAY_TOPIC

// The HTML Help control, loaded on first use and kept for the process's
// life; a failed load is remembered and not tried again. Only the system
// folder's copy: a bare name is looked for beside the executable first, and
// the control's class registration can be overridden in the user's own hive,
// either of which would run someone else's library in an elevated installer.
// The wide entry, so that a path the ANSI code page cannot hold still opens.
HWND htmlHelp(HWND owner, const wchar_t* file, UINT command, DWORD_PTR data)
{
    static htmlHelpFunction entry = nullptr;
    static bool failed = false;
    if (failed)
        return nullptr;
    if (!entry) {
        const HMODULE library = LoadLibraryExW(L"hhctrl.ocx", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (library)
            entry = reinterpret_cast<htmlHelpFunction>(reinterpret_cast<void*>(GetProcAddress(library, "HtmlHelpW")));
        if (!entry) {
            failed = true;
            return nullptr;
        }
    }
    return entry(owner, file, command, data);
}

} // namespace

bool showHelp(QWidget* owner, const QString& path)
{
    const HWND window = reinterpret_cast<HWND>(owner->winId());
    const std::wstring file = QDir::toNativeSeparators(path).toStdWString();
    return htmlHelp(window, file.c_str(), displayTopic, 0) != nullptr;
}
