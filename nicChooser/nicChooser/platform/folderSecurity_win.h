#pragma once
// The calls the Windows check of the plug-in folder reads owners, access
// lists and final paths through (startup_win.cpp), one seam each. Tests that need what only Windows
// makes (a folder of another user, the access list a folder made in the
// system drive's root inherits, a symbolic link) put the documented result
// in its place: Wine gives every file a security descriptor of its own
// making, and makes no symbolic links.

#include <QString>

#include <windows.h>

#include <functional>

/// Reads the owner and DACL of the object open as file (opened with READ_CONTROL) as GetSecurityInfo does: *owner and
/// *dacl point into *descriptor, which the caller frees with LocalFree; *dacl null means a null DACL. Returns
/// ERROR_SUCCESS or the error code.
using securityReader =
    std::function<DWORD(HANDLE file, PSID* owner, PACL* dacl, PSECURITY_DESCRIPTOR* descriptor)>;

/// Makes reader the one call; an empty reader brings GetSecurityInfo back. For tests.
void setSecurityReader(const securityReader& reader);

/// GetSecurityInfo itself, for a reader that changes what it says for some objects only.
DWORD systemSecurity(HANDLE file, PSID* owner, PACL* dacl, PSECURITY_DESCRIPTOR* descriptor);

/// Names the object open as file as GetFinalPathNameByHandleW does (FILE_NAME_NORMALIZED, VOLUME_NAME_DOS: no link or
/// junction left on the way), without its "\\?\" prefix, with forward slashes; empty when it has no such name.
using pathReader = std::function<QString(HANDLE file)>;

/// Makes reader that call; an empty reader brings GetFinalPathNameByHandleW back. For tests.
void setPathReader(const pathReader& reader);

/// GetFinalPathNameByHandleW itself, named as pathReader says.
QString systemPath(HANDLE file);
