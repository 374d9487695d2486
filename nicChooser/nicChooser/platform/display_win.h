#pragma once
// The Windows half of choosePlatform: the session whose windows nobody sees.
// Tests put the documented answer in place of the call: Wine runs no program
// in session 0.

#include <windows.h>

#include <functional>

/// Gives the Terminal Services session this process runs in, as ProcessIdToSessionId(GetCurrentProcessId()) does:
/// true and *session, or false when the call fails.
using sessionReader = std::function<bool(DWORD* session)>;

/// Makes reader that call; an empty reader brings ProcessIdToSessionId back. For tests.
void setSessionReader(const sessionReader& reader);
