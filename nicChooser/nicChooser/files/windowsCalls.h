#pragma once
// The few calls of the Windows file layer (fileReplace_win.cpp) whose
// documented results only Windows produces: ReplaceFileW's 1175, 1176 and
// 1177, a scanner's brief sharing violation, write-protected media, an owner
// that cannot be given, a file whose identity cannot be read, an archive
// mark a backup cleared. They are made through this table so that a test can
// put such a result in the place of one call; the program never changes it.
// The waits between tries go through it too, so that a test counts them
// instead of sitting them out.

#include <windows.h>
// (after windows.h)
#include <aclapi.h>

/// The calls, each the system's own unless a test replaced it.
struct windowsCalls {
    decltype(&CreateFileW) createFile = &CreateFileW;
    decltype(&ReplaceFileW) replaceFile = &ReplaceFileW;
    decltype(&MoveFileExW) moveFile = &MoveFileExW;
    decltype(&GetSecurityInfo) getSecurityInfo = &GetSecurityInfo;
    decltype(&SetSecurityInfo) setSecurityInfo = &SetSecurityInfo;
    decltype(&GetFileInformationByHandle) getFileInformationByHandle = &GetFileInformationByHandle;
    decltype(&SetFileInformationByHandle) setFileInformationByHandle = &SetFileInformationByHandle;
    decltype(&Sleep) sleep = &Sleep;
};

/// The table the file layer calls through.
windowsCalls& systemCalls();

/// How long the file layer goes on trying a call that failed with a passing error (a sharing violation, access
/// denied, or ReplaceFileW's 1175): retrySleeps waits of retrySleepMs each, about 2 seconds in all.
constexpr DWORD retrySleepMs = 50;
constexpr int retrySleeps = 40;
