#pragma once
// Owners and symbolic links on Windows, for the test programs only: the rows
// about them are Linux rows that skip there (no other user can be had), and
// these fail like the calls of a system without them (ENOSYS), so that a row
// reaching one by mistake fails rather than passes.
#include <cerrno>
#include <sys/types.h>

using uid_t = unsigned;
using gid_t = unsigned;

inline int chown(const char*, uid_t, gid_t)
{
    errno = ENOSYS;
    return -1;
}

inline int lchown(const char*, uid_t, gid_t)
{
    errno = ENOSYS;
    return -1;
}

inline int symlink(const char*, const char*)
{
    errno = ENOSYS;
    return -1;
}
