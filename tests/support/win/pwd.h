#pragma once
// The user database on Windows, for the test programs only: there are no
// Unix users, so no name is found (rows needing one skip before they get
// here; see testUsers_win.cpp).
#include "posixOwners.h"

struct passwd {
    char* pw_name;
    uid_t pw_uid;
    gid_t pw_gid;
};

inline passwd* getpwnam(const char*)
{
    return nullptr;
}
