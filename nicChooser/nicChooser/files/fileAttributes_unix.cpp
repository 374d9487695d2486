#include "fileAttributes.h"
#include "pathWalk.h"

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <map>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const char* const aclName = "system.posix_acl_access";

using attributeMap = std::map<QByteArray, QByteArray>;

// The value of attribute name of fd, whatever its size; false (errno set)
// when it cannot be read, or keeps growing while it is read.
bool readAttribute(int fd, const QByteArray& name, QByteArray* value)
{
    for (int tries = 0; tries < 4; ++tries) {
        const ssize_t size = ::fgetxattr(fd, name.constData(), nullptr, 0);
        if (size < 0)
            return false;
        value->resize(int(size));
        const ssize_t n = ::fgetxattr(fd, name.constData(), value->data(), size_t(value->size()));
        if (n >= 0) {
            value->truncate(int(n));
            return true;
        }
        if (errno != ERANGE)
            return false;
    }
    return false;
}

// Every extended attribute of fd this user can see, with its value.
outcome attributesOf(int fd, attributeMap* out)
{
    out->clear();
    QByteArray names;
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0) {
            if (errno == ENOTSUP)
                return outcome::done;
            return {outcome::failed, errorText(errno)};
        }
        names.resize(int(size));
        const ssize_t n = ::flistxattr(fd, names.data(), size_t(names.size()));
        if (n >= 0) {
            names.truncate(int(n));
            break;
        }
        if (errno != ERANGE) {
            return {outcome::failed, errorText(errno)};
        }
    }
    for (const QByteArray& name : names.split('\0')) {
        if (name.isEmpty())
            continue;
        QByteArray value;
        if (!readAttribute(fd, name, &value)) {
            return {outcome::failed, QStringLiteral("%1: %2").arg(QString::fromLatin1(name), errorText(errno))};
        }
        (*out)[name] = value;
    }
    return outcome::done;
}

QString attributeProblem(const QByteArray& name, int error)
{
    if (name == aclName)
        return QStringLiteral("its access control list cannot be given to the new file (%1)").arg(errorText(error));
    return QStringLiteral(
               "it carries the extended attribute %1, which you may not set; replacing it would drop it (%2)")
        .arg(QString::fromLatin1(name), errorText(error));
}

} // namespace

outcome keepAttributes(int oldFd, int newFd, const struct stat& old)
{
    struct stat now;
    if (::fstat(newFd, &now) != 0)
        return {outcome::refused, errorText(errno)};
    // Owner first: giving a file away clears its set-ID bits and
    // capabilities, which are put back below.
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && ::fchown(newFd, old.st_uid, old.st_gid) != 0) {
        if (now.st_uid != old.st_uid)
            return {outcome::refused,
                    QStringLiteral("the file belongs to %1 and the new file cannot be given to them (%2)")
                        .arg(userName(old.st_uid), errorText(errno))};
        return {
            outcome::refused,
            QStringLiteral("the file's group is %1, which you are not a member of; replacing it would change its group")
                .arg(groupName(old.st_gid))};
    }
    attributeMap want, have;
    const outcome readOld = attributesOf(oldFd, &want);
    if (!readOld.ok())
        return {outcome::refused, QStringLiteral("its extended attributes cannot be read: %1").arg(readOld.reason())};
    const outcome readNew = attributesOf(newFd, &have);
    if (!readNew.ok())
        return {outcome::refused,
                QStringLiteral("the new file's extended attributes cannot be read: %1").arg(readNew.reason())};
    // Such as an access control list the folder hands to every new file.
    for (const auto& a : have)
        if (!want.count(a.first) && ::fremovexattr(newFd, a.first.constData()) != 0)
            return {outcome::refused,
                    QStringLiteral("the new file cannot be rid of the attribute %1 it got from its folder (%2)")
                        .arg(QString::fromLatin1(a.first), errorText(errno))};
    for (const auto& a : want) {
        const auto h = have.find(a.first);
        if ((h == have.end() || h->second != a.second)
            && ::fsetxattr(newFd, a.first.constData(), a.second.constData(), size_t(a.second.size()), 0) != 0)
            return {outcome::refused, attributeProblem(a.first, errno)};
    }
    // After the access control list, whose mask the group bits mirror.
    if (::fchmod(newFd, old.st_mode & 07777) != 0)
        return {outcome::refused, QStringLiteral("the permissions cannot be kept (%1)").arg(errorText(errno))};

    if (::fstat(newFd, &now) != 0)
        return {outcome::refused, QStringLiteral("the new file cannot be checked (%1)").arg(errorText(errno))};
    const outcome check = attributesOf(newFd, &have);
    if (!check.ok())
        return {outcome::refused, QStringLiteral("the new file cannot be checked (%1)").arg(check.reason())};
    if (now.st_uid != old.st_uid || now.st_gid != old.st_gid || (now.st_mode & 07777) != (old.st_mode & 07777))
        return {
            outcome::refused,
            QStringLiteral("the new file did not keep the owner, group and permissions (%1:%2 %3 instead of %4:%5 %6)")
                .arg(userName(now.st_uid), groupName(now.st_gid), QString::number(now.st_mode & 07777, 8),
                     userName(old.st_uid), groupName(old.st_gid), QString::number(old.st_mode & 07777, 8))};
    if (have != want)
        return {outcome::refused, QStringLiteral("the new file did not keep the extended attributes")};
    return outcome::done;
}
