#pragma once
// Programs run as child processes, for the tests and the benchmark alike:
// the tool, its write paths as commands (tests/tools/ncupdate), and the
// commands it is compared with. The runner sees what the kernel sees: how
// the child ended, when, and its peak memory; it can kill the child right
// after any one of its system calls (through strace, so that the moment is
// the same on every run and every machine), run it as another user, and
// change its environment.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

/// How a child process ended, as the kernel accounts for it.
struct runResult {
    bool started = false;
    int exitCode = -1; ///< -1 unless it exited
    int signal = 0;    ///< the signal that ended it, 0 if it exited
    bool timedOut = false;
    long peakKb = 0;       ///< peak resident memory the child reported ("peak-kb N" on stderr), 0 if none
    long kernelPeakKb = 0; ///< the kernel's figure (counts what the child inherited from this process)
    qint64 elapsedUs = 0;  ///< from fork to reaping
    QByteArray errors;     ///< what it wrote to stderr
    QByteArray output;     ///< what it wrote to stdout, when captured
};

/// A moment in a child's run (Linux): right after its count-th call of the system call name, counted from its start.
struct syscallMoment {
    QByteArray name; ///< empty: no moment
    int count = 0;
};

/// Options for runProcess.
struct runOptions {
    int timeoutMs = 30000;       ///< killed (SIGKILL) after this, timedOut set
    syscallMoment killAt;        ///< SIGKILL at this moment (Linux, strace); none when its name is empty
    bool asNobody = false;       ///< run as user nobody (root only)
    QString user;                ///< run as this user with its groups (root only); wins over asNobody
    QStringList environment;     ///< NAME=value to set, NAME= to unset, over this process's environment
    bool captureOutput = false;  ///< keep stdout in output instead of passing it on
    bool noUnnamedFiles = false; ///< the system refuses it unnamed files (O_TMPFILE), as some file systems do
};

/// Whether noUnnamedFiles can be had here (a seccomp filter, on x86-64).
bool canRefuseUnnamedFiles();

/// In a child process about to start its program: from now on every openat() asking for an unnamed file fails as on a
/// file system without them (EOPNOTSUPP); false when that cannot be arranged.
bool refuseUnnamedFiles();

/// Runs program (looked up in PATH when it has no '/') with args to its end.
runResult runProcess(const QString& program, const QStringList& args, const runOptions& options = {});

/// Fixes the address layout of what this process executes from now on (no randomisation); false when it cannot. A
/// moment is the Nth call of its name since the program began, so every run that counts calls must make the same
/// ones: the sanitizers read /proc/self/maps in as many calls as its text takes, which differs with each random
/// layout. Called in a child before it executes a program whose calls are counted (runProcess does for strace).
bool fixedAddressLayout();

/// The strace program, empty when it is not installed (Linux).
QString straceProgram();

/// strace's arguments that run program with args and send it signal ("KILL", "STOP") at moment; with quiet, strace
/// tells nothing, otherwise it tells the calls of that name and the signals on its stderr.
QStringList signalledAt(const syscallMoment& moment, const QByteArray& signal, const QString& program,
                        const QStringList& args, bool quiet = true);

/// The moments of a run of program with args (as runProcess runs it with options): right after each of its system
/// calls, from the first whose arguments hold from up to its exit, in order. Empty when strace is missing or the
/// program did not exit with status 0.
std::vector<syscallMoment> momentsOf(const QString& program, const QStringList& args, const runOptions& options,
                                     const QByteArray& from);
