// An operator's console, as cmd or PowerShell holds one, starting a program
// the way Windows starts a GUI program from it: the program is not attached
// to the console and gets no standard handles (Wine would attach a GUI
// program to its parent's console; DETACHED_PROCESS keeps it out, as
// Windows does). With --stdout the program's standard output is that file
// instead, as "> FILE" gives it. Afterwards prints what the console shows,
// row by row without the blanks that fill each row, and ends with the
// program's exit status (125: it did not start, 124: still running after
// 60 s, then ended).
//   ncconsole [--stdout FILE] PROGRAM [ARG]...
#include <string>
#include <vector>

#include <windows.h>

namespace {

// One argument as the C runtime splits a command line again.
std::wstring quoted(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

void writeOut(HANDLE out, const std::string& text)
{
    DWORD written = 0;
    WriteFile(out, text.data(), DWORD(text.size()), &written, nullptr);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const HANDLE report = GetStdHandle(STD_OUTPUT_HANDLE);
    int first = 1;
    const wchar_t* stdoutFile = nullptr;
    if (argc > 2 && std::wstring(argv[1]) == L"--stdout") {
        stdoutFile = argv[2];
        first = 3;
    }
    if (first >= argc) {
        writeOut(GetStdHandle(STD_ERROR_HANDLE), "usage: ncconsole [--stdout FILE] PROGRAM [ARG]...\n");
        return 2;
    }
    FreeConsole();
    if (!AllocConsole()) {
        writeOut(GetStdHandle(STD_ERROR_HANDLE), "ncconsole: no console could be made\n");
        return 125;
    }
    const HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    // Wide enough that no line the tool writes wraps.
    SetConsoleScreenBufferSize(screen, COORD{240, 200});

    std::wstring command;
    for (int i = first; i < argc; ++i)
        command += (command.empty() ? L"" : L" ") + quoted(argv[i]);
    STARTUPINFOW start = {};
    start.cb = sizeof start;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (stdoutFile) {
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        file = CreateFileW(stdoutFile, GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0, nullptr);
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdOutput = file;
    }
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[first], &command[0], nullptr, nullptr, stdoutFile != nullptr, DETACHED_PROCESS, nullptr,
                        nullptr, &start, &process)) {
        writeOut(GetStdHandle(STD_ERROR_HANDLE), "ncconsole: the program did not start\n");
        return 125;
    }
    DWORD status = 124;
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 124);
    else
        GetExitCodeProcess(process.hProcess, &status);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);

    CONSOLE_SCREEN_BUFFER_INFO info = {};
    GetConsoleScreenBufferInfo(screen, &info);
    std::vector<std::string> rows;
    std::vector<wchar_t> row(size_t(info.dwSize.X));
    for (SHORT y = 0; y < info.dwSize.Y; ++y) {
        DWORD read = 0;
        ReadConsoleOutputCharacterW(screen, row.data(), DWORD(row.size()), COORD{0, y}, &read);
        while (read > 0 && row[read - 1] == L' ')
            --read;
        std::string text(size_t(WideCharToMultiByte(CP_UTF8, 0, row.data(), int(read), nullptr, 0, nullptr, nullptr)),
                         '\0');
        WideCharToMultiByte(CP_UTF8, 0, row.data(), int(read), &text[0], int(text.size()), nullptr, nullptr);
        rows.push_back(text);
    }
    while (!rows.empty() && rows.back().empty())
        rows.pop_back();
    std::string shown;
    for (const std::string& r : rows)
        shown += r + "\r\n";
    writeOut(report, shown);
    return int(status);
}
