#pragma once
// The Windows half of joinStartingConsole: which standard handles it leaves alone.

#include <windows.h>

/// Whether handle, as GetStdHandle gives it, leads somewhere (a console, a file, a pipe, a device): not NULL, not
/// INVALID_HANDLE_VALUE, and naming an object of this process.
bool handleLeadsSomewhere(HANDLE handle);
