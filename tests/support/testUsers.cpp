#include "testUsers.h"
#include "processes.h"

#include <QStandardPaths>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

bool isRoot()
{
    return ::geteuid() == 0;
}

std::vector<gid_t> groupsOf(const passwd* pw)
{
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    while (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) < 0)
        groups.resize(size_t(count));
    groups.resize(size_t(count));
    return groups;
}

asUser::asUser(const QString& name)
{
    if (::geteuid() != 0)
        return;
    const passwd* pw = ::getpwnam(name.toLocal8Bit().constData());
    if (!pw)
        return;
    std::vector<gid_t> saved(size_t(::getgroups(0, nullptr)));
    saved.resize(size_t(::getgroups(int(saved.size()), saved.data())));
    rootGroups.assign(saved.begin(), saved.end());
    const std::vector<gid_t> groups = groupsOf(pw);
    changed = true;
    // Real IDs too, since access() checks those; the saved IDs stay root so
    // that the test can come back.
    if (::setgroups(groups.size(), groups.data()) == 0 && ::setresgid(pw->pw_gid, pw->pw_gid, 0) == 0
        && ::setresuid(pw->pw_uid, pw->pw_uid, 0) == 0)
        dropped = true;
}

asUser::~asUser()
{
    if (!changed)
        return;
    const std::vector<gid_t> groups(rootGroups.begin(), rootGroups.end());
    if (::setresuid(0, 0, 0) != 0 || ::setresgid(0, 0, 0) != 0 || ::setgroups(groups.size(), groups.data()) != 0)
        qFatal("cannot regain root");
}

namespace {

// Removes the users when the program ends.
struct madeUsers : throwawayUsers {
    ~madeUsers()
    {
        for (const QString& u : {owner, member})
            if (!u.isEmpty())
                runProcess(userdel, {u});
        if (!group.isEmpty())
            runProcess(groupdel, {group});
    }
    QString userdel, groupdel;
};

} // namespace

const throwawayUsers& testUsers()
{
    static madeUsers users;
    static bool tried = false;
    if (tried || !isRoot())
        return users;
    tried = true;
    const QStringList sbin{"/usr/sbin", "/sbin"};
    const QString useradd = QStandardPaths::findExecutable("useradd", sbin);
    const QString groupadd = QStandardPaths::findExecutable("groupadd", sbin);
    users.userdel = QStandardPaths::findExecutable("userdel", sbin);
    users.groupdel = QStandardPaths::findExecutable("groupdel", sbin);
    if (useradd.isEmpty() || groupadd.isEmpty() || users.userdel.isEmpty() || users.groupdel.isEmpty())
        return users;
    const QString tag = QString::number(::getpid());
    const QString group = "ncg" + tag;
    if (runProcess(groupadd, {group}).exitCode != 0)
        return users;
    users.group = group;
    for (QString* u : {&users.owner, &users.member}) {
        const QString name = (u == &users.owner ? "nco" : "ncm") + tag;
        if (runProcess(useradd, {"-M", "-N", "-g", group, "-s", "/usr/sbin/nologin", name}).exitCode != 0)
            return users;
        *u = name;
    }
    users.ready = true;
    return users;
}
