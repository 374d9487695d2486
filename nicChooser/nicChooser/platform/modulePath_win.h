#pragma once
// The Windows half of modulePath, around its one call: the buffer it grows.

#include <QString>

#include <functional>

#include <windows.h>

/// The whole name a call of GetModuleFileNameW's kind gives: fill writes at most size characters (the terminator
/// among them) and returns how many it wrote without the terminator, or size itself when the name was cut short, or 0
/// on failure; it is asked again with twice the buffer while the name fills it. Empty on failure or past 32768
/// characters, the longest path the system has.
QString wholeModuleName(const std::function<DWORD(wchar_t* buffer, DWORD size)>& fill);
