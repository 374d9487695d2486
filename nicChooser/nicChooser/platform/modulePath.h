#pragma once

#include <QString>

/// Full path of the running executable as the system names it, whatever its length and whatever letters it holds
/// (on Windows beyond what the ANSI code page can hold, and beyond 260 characters).
QString modulePath();
