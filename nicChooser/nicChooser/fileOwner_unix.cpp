#include "fileOwner.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

fileOwner ownerOf(const QString& path)
{
    struct stat st;
    fileOwner owner;
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        owner.known = true;
        owner.user = st.st_uid;
        owner.group = st.st_gid;
    }
    return owner;
}

void restoreOwner(const QString& path, const fileOwner& owner)
{
    if (!owner.known)
        return;
    const fileOwner now = ownerOf(path);
    if (now.known && now.user == owner.user && now.group == owner.group)
        return;
    if (::chown(QFile::encodeName(path).constData(), owner.user, owner.group) != 0)
        qDebug() << "Can't give" << path << "back to its owner:" << std::strerror(errno);
}
