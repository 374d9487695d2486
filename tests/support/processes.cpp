#include "processes.h"
#include "testUsers.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>
#include <cstddef>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {

void drain(int* fd, QByteArray* into)
{
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(*fd, buf, sizeof buf);
        if (n > 0) {
            into->append(buf, int(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            ::close(*fd);
            *fd = -1;
        }
        return;
    }
}

} // namespace

#if defined(__x86_64__)
// Makes every later openat() that asks for an unnamed file fail as on a file
// system without them; false when the filter cannot be set.
bool refuseUnnamedFiles()
{
    constexpr unsigned tmpfile = O_TMPFILE & ~O_DIRECTORY;
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])), // the flags (low half)
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, tmpfile, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EOPNOTSUPP & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}
#else
bool refuseUnnamedFiles()
{
    return false;
}
#endif

bool canRefuseUnnamedFiles()
{
#if defined(__x86_64__)
    return true;
#else
    return false;
#endif
}

runResult runProcess(const QString& givenProgram, const QStringList& givenArgs, const runOptions& options)
{
    runResult r;
    const bool traced = !options.killAt.name.isEmpty();
    if (traced && straceProgram().isEmpty())
        return r;
    const QString program = traced ? straceProgram() : givenProgram;
    const QStringList args = traced ? signalledAt(options.killAt, "KILL", givenProgram, givenArgs) : givenArgs;
    const bool counted = program == straceProgram();
    std::vector<QByteArray> storage{QFile::encodeName(program)};
    for (const QString& a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : storage)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> environment;
    for (const QString& e : options.environment)
        environment.push_back(e.toLocal8Bit());
    const QString userName = !options.user.isEmpty() ? options.user
                             : options.asNobody      ? QStringLiteral("nobody")
                                                     : QString();
    const passwd* user = userName.isEmpty() ? nullptr : ::getpwnam(userName.toLocal8Bit().constData());
    if (!userName.isEmpty() && !user)
        return r;
    const std::vector<gid_t> groups = user ? groupsOf(user) : std::vector<gid_t>();

    int errPipe[2], outPipe[2] = {-1, -1};
    if (::pipe2(errPipe, O_CLOEXEC) != 0 || (options.captureOutput && ::pipe2(outPipe, O_CLOEXEC) != 0))
        return r;
    QElapsedTimer clock;
    clock.start();
    const pid_t pid = ::fork();
    if (pid < 0)
        return r;
    if (pid == 0) {
        ::dup2(errPipe[1], 2);
        if (outPipe[1] >= 0)
            ::dup2(outPipe[1], 1);
        for (QByteArray& e : environment) {
            if (e.endsWith('='))
                ::unsetenv(e.left(e.size() - 1).constData());
            else
                ::putenv(e.data());
        }
        if (user
            && (::setgroups(groups.size(), groups.data()) != 0
                || ::setresgid(user->pw_gid, user->pw_gid, user->pw_gid) != 0
                || ::setresuid(user->pw_uid, user->pw_uid, user->pw_uid) != 0))
            ::_exit(126);
        if (options.noUnnamedFiles && !refuseUnnamedFiles())
            ::_exit(125);
        if (counted && !fixedAddressLayout())
            ::_exit(124);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    r.started = true;
    ::close(errPipe[1]);
    int err = errPipe[0], out = outPipe[0];
    if (outPipe[1] >= 0)
        ::close(outPipe[1]);
    for (int fd : {err, out})
        if (fd >= 0)
            ::fcntl(fd, F_SETFL, O_NONBLOCK);

    // Readable once the child has ended: its end is seen at once, not at
    // the next look.
    const int ended = int(::syscall(SYS_pidfd_open, pid, 0));
    const qint64 limitUs = qint64(options.timeoutMs) * 1000;
    bool killed = false;
    int status = 0;
    rusage usage{};
    for (;;) {
        const qint64 now = clock.nsecsElapsed() / 1000;
        if (!killed && now >= limitUs) {
            ::kill(pid, SIGKILL);
            killed = true;
            r.timedOut = true;
        }
        // Wake at output, at the end (or, without a pidfd, every millisecond) or at the time limit.
        qint64 waitUs = killed ? 1000 : limitUs - now;
        if (ended < 0)
            waitUs = qMin<qint64>(waitUs, 1000);
        waitUs = qMax<qint64>(waitUs, 0);
        pollfd fds[3] = {{err, POLLIN, 0}, {out, POLLIN, 0}, {ended, POLLIN, 0}};
        const timespec pause{time_t(waitUs / 1000000), long(waitUs % 1000000) * 1000};
        ::ppoll(fds, 3, &pause, nullptr);
        if (err >= 0 && fds[0].revents)
            drain(&err, &r.errors);
        if (out >= 0 && fds[1].revents)
            drain(&out, &r.output);
        if (::wait4(pid, &status, WNOHANG, &usage) == pid)
            break;
    }
    if (ended >= 0)
        ::close(ended);
    r.elapsedUs = clock.nsecsElapsed() / 1000;
    for (int* fd : {&err, &out}) {
        if (*fd >= 0) {
            drain(fd, fd == &err ? &r.errors : &r.output);
            if (*fd >= 0)
                ::close(*fd);
        }
    }
    r.kernelPeakKb = usage.ru_maxrss;
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

bool fixedAddressLayout()
{
    return ::personality(ADDR_NO_RANDOMIZE) != -1;
}

QString straceProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("strace"));
}

QStringList signalledAt(const syscallMoment& moment, const QByteArray& signal, const QString& program,
                        const QStringList& args, bool quiet)
{
    const QString name = QString::fromLatin1(moment.name);
    // Only the one call is traced, which keeps the child close to its own speed; a signal injected without an
    // error is sent as the call returns.
    return QStringList{"-qq", "-o", quiet ? QStringLiteral("/dev/null") : QStringLiteral("/dev/stderr"),
                       "-e", "trace=" + name,
                       "-e", QStringLiteral("inject=%1:signal=%2:when=%3").arg(name, QString::fromLatin1(signal))
                                 .arg(moment.count),
                       "--", program}
           + args;
}

std::vector<syscallMoment> momentsOf(const QString& program, const QStringList& args, const runOptions& options,
                                     const QByteArray& from)
{
    std::vector<syscallMoment> moments;
    if (straceProgram().isEmpty())
        return moments;
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("calls"));
    const runResult r = runProcess(straceProgram(), QStringList{"-qq", "-o", log, "--", program} + args, options);
    if (r.exitCode != 0)
        return moments;
    QFile calls(log);
    if (!calls.open(QIODevice::ReadOnly))
        return moments;
    // One call a line, "name(arguments) = result"; signals and the exit are told as "--- ..." and "+++ ...".
    const QRegularExpression call(QStringLiteral("^([a-z0-9_]+)\\("));
    QHash<QByteArray, int> counts;
    bool on = false;
    while (!calls.atEnd()) {
        const QByteArray line = calls.readLine();
        const QRegularExpressionMatch m = call.match(QString::fromLatin1(line));
        if (!m.hasMatch())
            continue;
        const QByteArray name = m.captured(1).toLatin1();
        const int count = ++counts[name];
        on = on || line.contains(from);
        if (name == "exit_group")
            break;
        if (on)
            moments.push_back({name, count});
    }
    return moments;
}
