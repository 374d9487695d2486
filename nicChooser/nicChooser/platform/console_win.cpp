#include "console.h"
#include "console_win.h"

#include <cstdio>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

bool handleLeadsSomewhere(HANDLE handle)
{
    // A GUI program started from a console gets no handle, or a value that
    // names nothing in this process.
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

namespace {

// Binds descriptor fd, its stream and the standard handle which to the
// console's screen buffer.
void writeToConsole(DWORD which, int fd, FILE* stream)
{
    const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE)
        return;
    const int opened = _open_osfhandle(reinterpret_cast<intptr_t>(console), _O_TEXT);
    if (opened < 0) {
        CloseHandle(console);
        return;
    }
    if (_dup2(opened, fd) == 0) {
        SetStdHandle(which, reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
        // The C runtime marks the streams of a program started without
        // handles as having no descriptor at all (-2), and freopen refuses
        // such a stream in some runtimes: the stream is pointed at its
        // descriptor again instead.
        if (_fileno(stream) < 0)
            stream->_file = fd;
    }
    _close(opened);
}

} // namespace

void failCriticalErrorsQuietly()
{
    // The documented practice for every application; whoever started the
    // program may have set other bits (SEM_NOGPFAULTERRORBOX), which stay.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS);
}

void joinStartingConsole()
{
    const HANDLE given[] = {GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
    const bool out = handleLeadsSomewhere(given[0]), err = handleLeadsSomewhere(given[1]);
    if (out && err)
        return; // redirected (a pipe, a file) or a console already: theirs
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return; // started by a program without a console (a service, Explorer)
    // Joining a console may hand out its own handles: one that was given
    // stays the caller's.
    if (out)
        SetStdHandle(STD_OUTPUT_HANDLE, given[0]);
    else
        writeToConsole(STD_OUTPUT_HANDLE, 1, stdout);
    if (err)
        SetStdHandle(STD_ERROR_HANDLE, given[1]);
    else
        writeToConsole(STD_ERROR_HANDLE, 2, stderr);
}
