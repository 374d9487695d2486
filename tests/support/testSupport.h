#pragma once
// Helpers shared by the test programs.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <vector>

/// Collects every message sent through qDebug and friends while it lives.
class debugCapture
{
public:
    struct line {
        QString text;
        QString file;
        int lineNumber;
        QString function;
    };
    debugCapture();
    ~debugCapture();
    QStringList texts() const;
    const std::vector<line>& lines() const { return captured; }

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString&);
    std::vector<line> captured;
    QtMessageHandler previous;
};

QByteArray readBytes(const QString& path);
void writeBytes(const QString& path, const QByteArray& data);
QByteArray testData(const QString& relative);

/// True when this program was built with AddressSanitizer, whose shadow memory and slowness make memory and time figures meaningless.
constexpr bool underSanitizer()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

/// True when running under CI, where a missing prerequisite fails instead of skipping.
bool underCi();

/// Skips the test with reason, or fails it under CI.
#define NC_REQUIRE(condition, reason)                                   \
    do {                                                                \
        if (!(condition)) {                                             \
            if (underCi())                                              \
                QFAIL(qPrintable(QStringLiteral("CI needs this: ") + reason)); \
            QSKIP(qPrintable(reason));                                  \
        }                                                               \
    } while (0)

/// Runs as user name (user, group and its supplementary groups) while it lives (root only), so that permission checks apply.
class asUser
{
public:
    explicit asUser(const QString& name);
    ~asUser();
    bool active() const { return dropped; }

private:
    bool dropped = false;
    bool changed = false;
    std::vector<unsigned> rootGroups;
};

/// asUser for "nobody".
class asNobody : public asUser
{
public:
    asNobody() : asUser(QStringLiteral("nobody")) {}
};

/// Two users made for this test program (useradd, root only) and removed
/// again at its end: owner and member, both in group.
struct throwawayUsers {
    QString owner, member, group;
    bool ready = false;
};

/// The throw-away users, made on first use.
const throwawayUsers& testUsers();

/// Whether this process is root (and can so drop to nobody).
bool isRoot();

/// How a child process ended, as the kernel accounts for it.
struct runResult {
    bool started = false;
    int exitCode = -1;   ///< -1 unless it exited
    int signal = 0;      ///< the signal that ended it, 0 if it exited
    bool timedOut = false;
    long peakKb = 0;     ///< peak resident memory the child reported ("peak-kb N" on stderr), 0 if none
    qint64 elapsedUs = 0;
    QByteArray errors;   ///< what it wrote to stderr
};

/// Options for runProcess.
struct runOptions {
    int timeoutMs = 30000;     ///< killed (SIGKILL) after this, timedOut set
    qint64 killAfterUs = -1;   ///< SIGKILL after this many microseconds; -1 never
    bool asNobody = false;     ///< run as user nobody (root only)
    QString user;              ///< run as this user with its groups (root only); wins over asNobody
};

/// Runs program with args to its end, collecting peak memory and stderr.
runResult runProcess(const QString& program, const QStringList& args, const runOptions& options = {});

/// The files (hidden ones included) in folder, sorted; for checking nothing was left beside a file.
QStringList filesIn(const QString& folder);

// The interfaces that in-netns.sh builds, and what the tool must make of them.
namespace layout {
/// Rows expected, in order: name, address, adaptor ID.
const std::vector<QStringList>& rows();
/// Interfaces expected in "can't multicast" lines.
QStringList rejected();
/// True when this process runs inside the wrapper's namespace.
bool inside();
}
