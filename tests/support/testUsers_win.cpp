// Users on Windows: the tests about rights are Linux rows (a Windows test
// machine has no throw-away accounts to make, and Wine knows only one user),
// so there is no other user to become and none is made.
#include "testUsers.h"

bool isRoot()
{
    return false;
}

asUser::asUser(const QString&)
{}

asUser::~asUser() = default;

const throwawayUsers& testUsers()
{
    static const throwawayUsers none;
    return none;
}
