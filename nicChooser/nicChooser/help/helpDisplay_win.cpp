#include "helpDisplay.h"

#include <QWidget>

#include <windows.h>

namespace {

typedef HWND(WINAPI* htmlHelpFunction)(HWND, LPCSTR, UINT, DWORD_PTR);

const UINT displayTopic = 0; // HH_DISPLAY_TOPIC

// The HTML Help control, loaded on first use and kept for the process's
// life; a failed load is remembered and not tried again.
HWND htmlHelp(HWND owner, LPCSTR file, UINT command, DWORD_PTR data)
{
    static HMODULE library = nullptr;
    static htmlHelpFunction entry = nullptr;
    static bool failed = false;
    if (failed)
        return nullptr;
    if (!library) {
        char path[260] = {};
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32", 0,
                          KEY_READ, &key)
            == ERROR_SUCCESS) {
            char value[260] = {};
            DWORD type = 0;
            DWORD size = sizeof value - 1;
            if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size)
                == ERROR_SUCCESS) {
                if (type == REG_EXPAND_SZ)
                    ExpandEnvironmentStringsA(value, path, sizeof path);
                else
                    lstrcpynA(path, value, sizeof path);
            }
            RegCloseKey(key);
        }
        if (path[0])
            library = LoadLibraryA(path);
        if (!library)
            library = LoadLibraryA("hhctrl.ocx");
        if (!library) {
            failed = true;
            return nullptr;
        }
    }
    if (!entry) {
        entry =
            reinterpret_cast<htmlHelpFunction>(reinterpret_cast<void*>(GetProcAddress(library, MAKEINTRESOURCEA(14))));
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
    return htmlHelp(window, path.toLatin1().constData(), displayTopic, 0) != nullptr;
}
