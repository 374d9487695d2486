// A library named as the HTML Help control, planted beside a program as
// someone who may write that folder would plant one: it answers every help
// request with nothing, and only its path tells it apart.
#include <windows.h>

extern "C" __declspec(dllexport) HWND WINAPI HtmlHelpW(HWND, LPCWSTR, UINT, DWORD_PTR)
{
    return nullptr;
}
