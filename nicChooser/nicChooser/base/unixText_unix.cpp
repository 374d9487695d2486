#include "unixText.h"

#include <cstring>
#include <grp.h>
#include <pwd.h>

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString userName(uid_t uid)
{
    const passwd* pw = ::getpwuid(uid);
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(uid);
}

QString groupName(gid_t gid)
{
    const group* gr = ::getgrgid(gid);
    return gr ? QString::fromLocal8Bit(gr->gr_name) : QString::number(gid);
}
