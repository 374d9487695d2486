#pragma once
// What a replaced file keeps on Linux: the old file's owner, group,
// permissions and every extended attribute this user can see, the access
// control list (system.posix_acl_access, of any size) among them, copied as
// the system stores them; attributes the new file got from its folder (a
// default access control list) and the old one did not have are removed.
// All of it is checked on the new file afterwards.
//
// Attributes this user cannot see cannot be kept: trusted.* is visible to
// root (CAP_SYS_ADMIN) only, so a replacement made by anyone else loses it.
//
// Part of the Linux file layer, with fileReplace_unix.cpp.

#include "outcome.h"

#include <QString>

#include <sys/stat.h>

/// Makes the file open as newFd what the one open as oldFd (whose status is old) is, as above: done, or refused with
/// why not, in plain words.
outcome keepAttributes(int oldFd, int newFd, const struct stat& old);
