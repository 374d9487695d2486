#include "testSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
debugCapture* current = nullptr;
}

debugCapture::debugCapture()
{
    current = this;
    previous = qInstallMessageHandler(&debugCapture::handler);
}

debugCapture::~debugCapture()
{
    qInstallMessageHandler(previous);
    current = nullptr;
}

void debugCapture::handler(QtMsgType, const QMessageLogContext& context, const QString& text)
{
    if (current)
        current->captured.push_back(line{text, QString::fromUtf8(context.file ? context.file : ""),
                                         context.line, QString::fromUtf8(context.function ? context.function : "")});
}

QStringList debugCapture::texts() const
{
    QStringList out;
    for (const line& l : captured)
        out << l.text;
    return out;
}

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void writeBytes(const QString& path, const QByteArray& data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write test file %s", qPrintable(path));
    f.write(data);
}

QByteArray testData(const QString& relative)
{
    const QByteArray data = readBytes(QStringLiteral(NC_TEST_DATA "/") + relative);
    if (data.isEmpty())
        qFatal("missing test data %s", qPrintable(relative));
    return data;
}

bool underCi()
{
    return qEnvironmentVariable("CI") == QLatin1String("true");
}

bool isRoot()
{
    return ::geteuid() == 0;
}

namespace {

// The groups of user pw, as a login would give them.
std::vector<gid_t> groupsOf(const passwd* pw)
{
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    while (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) < 0)
        groups.resize(size_t(count));
    groups.resize(size_t(count));
    return groups;
}

} // namespace

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

namespace layout {

const std::vector<QStringList>& rows()
{
    static const std::vector<QStringList> r{
        {"nc0", "10.77.1.1", "nc0"},
        {"nc0", "10.77.1.2", "nc0"},
        {"nc1", "10.77.4.1", "nc1"},
        {QString::fromUtf8("n\xC3\xA9"), "10.77.5.1", QString::fromUtf8("n\xC3\xA9")},
    };
    return r;
}

QStringList rejected()
{
    return {"lo", "ncnomc", "ncdown", "ncdownp"};
}

bool inside()
{
    return qEnvironmentVariable("NC_NETNS_LAYOUT") == QLatin1String("1");
}

} // namespace layout

runResult runProcess(const QString& program, const QStringList& args, const runOptions& options)
{
    runResult r;
    std::vector<QByteArray> storage{QFile::encodeName(program)};
    for (const QString& a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const QString userName = !options.user.isEmpty() ? options.user : options.asNobody ? QStringLiteral("nobody") : QString();
    const passwd* user = userName.isEmpty() ? nullptr : ::getpwnam(userName.toLocal8Bit().constData());
    if (!userName.isEmpty() && !user)
        return r;
    const std::vector<gid_t> groups = user ? groupsOf(user) : std::vector<gid_t>();

    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0)
        return r;
    QElapsedTimer clock;
    clock.start();
    const pid_t pid = ::fork();
    if (pid < 0)
        return r;
    if (pid == 0) {
        ::dup2(errPipe[1], 2);
        if (user && (::setgroups(groups.size(), groups.data()) != 0 || ::setresgid(user->pw_gid, user->pw_gid, user->pw_gid) != 0
                     || ::setresuid(user->pw_uid, user->pw_uid, user->pw_uid) != 0))
            ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    r.started = true;
    ::close(errPipe[1]);
    ::fcntl(errPipe[0], F_SETFL, O_NONBLOCK);

    const qint64 limitUs = qint64(options.timeoutMs) * 1000;
    bool killed = false;
    int status = 0;
    for (;;) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(errPipe[0], buf, sizeof buf)) > 0)
            r.errors.append(buf, int(n));
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        const qint64 now = clock.nsecsElapsed() / 1000;
        if (!killed && options.killAfterUs >= 0 && now >= options.killAfterUs) {
            ::kill(pid, SIGKILL);
            killed = true;
        } else if (!killed && now >= limitUs) {
            ::kill(pid, SIGKILL);
            killed = true;
            r.timedOut = true;
        }
        // Short sleeps near a kill time keep its moment precise.
        const bool close = options.killAfterUs >= 0 && !killed && options.killAfterUs - now < 2000;
        ::usleep(close ? 20 : 500);
    }
    r.elapsedUs = clock.nsecsElapsed() / 1000;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(errPipe[0], buf, sizeof buf)) > 0)
        r.errors.append(buf, int(n));
    ::close(errPipe[0]);
    // The kernel's figure for a child counts memory it inherited from this
    // (large) process, so the child reports its own.
    const int at = r.errors.lastIndexOf("peak-kb ");
    if (at >= 0)
        r.peakKb = r.errors.mid(at + 8, r.errors.indexOf('\n', at) - at - 8).toLong();
    if (WIFEXITED(status))
        r.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        r.signal = WTERMSIG(status);
    return r;
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}
