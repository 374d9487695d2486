#pragma once
// Programs run as child processes, for the tests and the benchmark alike:
// the tool, its write paths as commands (tests/tools/ncupdate), and the
// commands it is compared with. The runner sees what the kernel sees: how
// the child ended, when, and its peak memory; it can kill the child at a
// chosen moment, run it as another user, and change its environment.

#include <QByteArray>
#include <QString>
#include <QStringList>

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

/// Options for runProcess.
struct runOptions {
    int timeoutMs = 30000;       ///< killed (SIGKILL) after this, timedOut set
    qint64 killAfterUs = -1;     ///< SIGKILL after this many microseconds; -1 never
    QString killOnNewNameIn;     ///< SIGKILL once a name is created in this folder (Linux); empty never
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
