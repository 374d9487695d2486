// Whatever happens to a writer - killed, out of disk, without rights, fed a
// hostile file, racing a second writer - each file it edits ends up holding
// the old bytes or the new ones, never anything in between. Every case runs
// the real write path in a process of its own (tests/tools/ncupdate).
#include "editChecks.h"
#include "fileReplace.h"
#include "localSettings.h"
#include "delve.h"
#include "osplConfig.h"
#include "testSupport.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <fcntl.h>
#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const QString tool = QStringLiteral(NC_UPDATE_TOOL);
const QString fileName = QStringLiteral("file");

QString trialAddress(int trial)
{
    return QStringLiteral("10.%1.%2.%3").arg(1 + trial / 65536).arg(trial / 256 % 256).arg(trial % 256);
}

QByteArray expectedSettings(const QByteArray& old, const QString& key, const QString& value)
{
    return ini::withValue(old, settingsSection, key.toUtf8(), value.toUtf8());
}

QByteArray expectedConfig(const QByteArray& old, const QString& address)
{
    QByteArray out;
    return rewriteOsplConfig(old, address, delve, &out) == outcome::done ? out : old;
}

QStringList updateArgs(const QString& kind, const QString& path, const QString& value)
{
    if (kind == "ini")
        return {"ini", path, "bindAddress", value};
    return {"ospl", path, value};
}

QByteArray expected(const QString& kind, const QByteArray& old, const QString& value)
{
    return kind == "ini" ? expectedSettings(old, "bindAddress", value) : expectedConfig(old, value);
}

// What is beside the file: nothing, as writers make no lock file and leave
// no temporary one.
QString leftovers(const QString& folder)
{
    QStringList files = filesIn(folder);
    files.removeAll(fileName);
    return files.join(QLatin1Char(' '));
}

// Stands for a file of 4 GiB made of holes.
QByteArray sparseMarker()
{
    return QByteArrayLiteral("[xDS]\r\nbindAddress=10.0.0.1\r\n");
}

// The calls that look at or change files, folders or their locks.
bool aboutFiles(const QByteArray& call)
{
    static const QByteArrayList names{"openat", "newfstatat", "fstat", "statx", "read", "pread64", "write",
                                      "pwrite64", "lseek", "fcntl", "fdatasync", "fsync", "linkat", "renameat",
                                      "renameat2", "unlinkat", "close", "ftruncate", "fchmod", "fchown",
                                      "fsetxattr", "fgetxattr", "flistxattr", "fremovexattr", "getdents64",
                                      "faccessat2", "ioctl"};
    return names.contains(call);
}

// The file's name as strace shows it in a call's arguments.
QByteArray quotedFileName()
{
    return '"' + fileName.toUtf8() + '"';
}

// A writer's options when it runs under strace: LeakSanitizer cannot run under a tracer, and says so by failing.
runOptions traceable()
{
    runOptions o;
    o.environment << QStringLiteral("ASAN_OPTIONS=detect_leaks=0");
    return o;
}

} // namespace

class tst_reliability : public QObject
{
    Q_OBJECT
private slots:
    void killedMidWrite_data();
    void killedMidWrite();
    void concurrentWriters_data();
    void concurrentWriters();
    void diskFull_data();
    void diskFull();
    void noRights_data();
    void noRights();
    void hostileInput_data();
    void hostileInput();
    void otherMountNamespace_data();
    void otherMountNamespace();
};

void tst_reliability::killedMidWrite_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("old");
    QTest::addColumn<bool>("unnamed"); // the system makes unnamed files
    // Large enough to be read in several pieces.
    QTest::newRow("settings file, 200 KB") << "ini" << settingsFixture(10000) << true;
    QTest::newRow("DDS configuration, 200 KB") << "ospl" << configFixture(200 << 10) << true;
    // Then every new file has a name from the start, and a killed writer
    // leaves it behind for the next one to remove.
    QTest::newRow("settings file, 200 KB, on a system without unnamed files")
        << "ini" << settingsFixture(10000) << false;
}

// A writer killed right after each of its system calls in turn, from its
// first look at the file to its exit: every moment of a write, the same on
// every run.
void tst_reliability::killedMidWrite()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, old);
    QFETCH(bool, unnamed);
    NC_REQUIRE(unnamed || canRefuseUnnamedFiles(), "needs a seccomp filter to refuse unnamed files (x86-64)");
    NC_REQUIRE(!straceProgram().isEmpty(), QStringLiteral("needs strace to stop a writer after each system call"));
    QTemporaryDir dir;
    runOptions plain = traceable();
    plain.noUnnamedFiles = !unnamed;
    const QString path = dir.filePath(fileName);
    writeBytes(path, old);

    // Calls about files only: how often a writer asks for memory depends on
    // the text it writes, and it changes nothing on disk. Of a run of the
    // same call (the reads of a large file) the first and the last.
    std::vector<syscallMoment> traced =
        momentsOf(tool, updateArgs(kind, path, trialAddress(0)), plain, quotedFileName());
    traced.erase(std::remove_if(traced.begin(), traced.end(),
                                [](const syscallMoment& m) { return !aboutFiles(m.name); }),
                 traced.end());
    std::vector<syscallMoment> moments;
    for (size_t i = 0; i < traced.size(); ++i)
        if (i == 0 || i + 1 == traced.size() || traced[i - 1].name != traced[i].name
            || traced[i + 1].name != traced[i].name)
            moments.push_back(traced[i]);
    QVERIFY2(moments.size() > 20, "an undisturbed write could not be traced");
    QByteArray current = expected(kind, old, trialAddress(0));
    QCOMPARE(readBytes(path), current);

    int keptOld = 0, tookNew = 0;
    QSet<QString> leftNames;
    for (int trial = 0; trial < int(moments.size()); ++trial) {
        const syscallMoment& at = moments[size_t(trial)];
        const QString when = QStringLiteral("killed after %1 #%2").arg(QString::fromLatin1(at.name)).arg(at.count);
        const QString value = trialAddress(trial + 1);
        const QByteArray want = expected(kind, current, value);
        QVERIFY(want != current);
        runOptions options = plain;
        options.killAt = at;
        const runResult r = runProcess(tool, updateArgs(kind, path, value), options);
        QVERIFY(r.started);
        QVERIFY2(r.signal == SIGKILL, qPrintable(when + ": the writer was not killed, so its calls differ from "
                                                        "those of the traced run"));
        const QByteArray now = readBytes(path);
        if (now == current) {
            ++keptOld;
        } else if (now == want) {
            ++tookNew;
            current = now;
        } else {
            QFAIL(qPrintable(QStringLiteral("%1: the file is neither old nor new (%2 bytes)").arg(when).arg(now.size())));
        }
        const QString left = leftovers(dir.path());
        if (!left.isEmpty()) {
            // Only a temporary file may ever be left, under a name no
            // earlier writer used, and the next writer must remove it.
            QVERIFY2(left.startsWith(QFileInfo(leftoverName(path)).fileName()) && !left.contains(' '),
                     qPrintable(when + ": " + left));
            QVERIFY2(!leftNames.contains(left), qPrintable(when + ": the temporary name came again: " + left));
            leftNames.insert(left);
            const QString again = trialAddress(200000 + trial);
            const QByteArray wantAgain = expected(kind, current, again);
            QCOMPARE(runProcess(tool, updateArgs(kind, path, again), plain).exitCode, 0);
            QCOMPARE(readBytes(path), wantAgain);
            QCOMPARE(leftovers(dir.path()), QString());
            current = wantAgain;
        }
    }
    qInfo("%s: killed after each of %d calls: old kept %d, new in place %d, %d leftovers cleaned", qPrintable(kind),
          int(moments.size()), keptOld, tookNew, int(leftNames.size()));
    // Kills before the new file takes the name, after it, and between
    // naming the new file and the rename.
    QVERIFY(keptOld > 0);
    QVERIFY(tookNew > 0);
    QVERIFY2(!leftNames.isEmpty(), "no kill left a named temporary file");
}

void tst_reliability::concurrentWriters_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("old");    // null: no file yet
    QTest::addColumn<QStringList>("first"); // key value pairs, or an address
    QTest::addColumn<QStringList>("second");
    QTest::addColumn<bool>("unnamed"); // the system makes unnamed files
    QTest::newRow("settings, both write both keys")
        << "ini" << settingsFixture(10000) << QStringList{"bindAddress", "10.1.1.1", "Adaptor", "one"}
        << QStringList{"bindAddress", "10.2.2.2", "Adaptor", "two"} << true;
    // Without serialised read-modify-write, one of these edits gets lost.
    QTest::newRow("settings, different keys")
        << "ini" << settingsFixture(10000) << QStringList{"bindAddress", "10.1.1.1"} << QStringList{"Adaptor", "two"}
        << true;
    QTest::newRow("DDS configuration") << "ospl" << configFixture(200 << 10) << QStringList{"10.1.1.1"}
                                       << QStringList{"10.2.2.2"} << true;
    // Nothing to lock yet: one creates it, the other edits what it made.
    QTest::newRow("settings, no file yet, different keys")
        << "ini" << QByteArray() << QStringList{"bindAddress", "10.1.1.1"} << QStringList{"Adaptor", "two"} << true;
    QTest::newRow("settings, different keys, on a system without unnamed files")
        << "ini" << settingsFixture(10000) << QStringList{"bindAddress", "10.1.1.1"} << QStringList{"Adaptor", "two"}
        << false;
    QTest::newRow("settings, no file yet, on a system without unnamed files")
        << "ini" << QByteArray() << QStringList{"bindAddress", "10.1.1.1"} << QStringList{"Adaptor", "two"} << false;
}

namespace {

// A writer racing another.
class racer : public QProcess
{
public:
    explicit racer(bool unnamed) : unnamed(unnamed)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ASAN_OPTIONS", "detect_leaks=0");
        setProcessEnvironment(env);
    }

protected:
    void setupChildProcess() override
    {
        if ((!unnamed && !refuseUnnamedFiles()) || !fixedAddressLayout())
            ::_exit(125);
    }

private:
    bool unnamed;
};

// The settings text with the key value pairs set in one write.
QByteArray withPairs(QByteArray text, const QStringList& pairs)
{
    for (int i = 0; i < pairs.size(); i += 2)
        text = expectedSettings(text, pairs[i], pairs[i + 1]);
    return text;
}

// The process strace (p) traces.
pid_t tracee(QProcess* p)
{
    const QByteArray children = readBytes(QStringLiteral("/proc/%1/task/%1/children").arg(p->processId()));
    return pid_t(children.trimmed().toInt());
}

// The calls after which a stopped writer can be in another state of its
// edit than after the call before: it opens, locks, reads, writes, names,
// renames, flushes or closes something.
bool changesState(const QByteArray& call)
{
    static const QByteArrayList names{"openat", "fcntl", "read", "write", "fdatasync", "fsync", "linkat",
                                      "renameat", "renameat2", "unlinkat", "close", "ftruncate"};
    return names.contains(call);
}

} // namespace

// The first writer is stopped after each of its calls in turn while the
// second runs to its end or until it waits for the first: every way the two
// can meet, the same on every run.
void tst_reliability::concurrentWriters()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, old);
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QFETCH(bool, unnamed);
    NC_REQUIRE(unnamed || canRefuseUnnamedFiles(), "needs a seccomp filter to refuse unnamed files (x86-64)");
    NC_REQUIRE(!straceProgram().isEmpty(), QStringLiteral("needs strace to stop a writer after each system call"));

    // What each order of the two writes leaves.
    const QByteArray firstThenSecond = kind == "ospl" ? expectedConfig(expectedConfig(old, first[0]), second[0])
                                                      : withPairs(withPairs(old, first), second);
    const QByteArray secondThenFirst = kind == "ospl" ? expectedConfig(expectedConfig(old, second[0]), first[0])
                                                      : withPairs(withPairs(old, second), first);
    QTemporaryDir dir;
    const QString path = dir.filePath(fileName);
    auto reset = [&] {
        if (old.isNull())
            QFile::remove(path);
        else
            writeBytes(path, old);
    };
    const QStringList head = kind == "ini" ? QStringList{"ini", path} : QStringList{"ospl", path};
    runOptions options = traceable();
    options.noUnnamedFiles = !unnamed;
    reset();
    std::vector<syscallMoment> moments = momentsOf(tool, head + first, options, quotedFileName());
    // A run of the same call (the reads of a large file) is one state of the edit.
    moments.erase(std::remove_if(moments.begin(), moments.end(),
                                 [](const syscallMoment& m) { return !changesState(m.name); }),
                  moments.end());
    moments.erase(std::unique(moments.begin(), moments.end(),
                              [](const syscallMoment& a, const syscallMoment& b) { return a.name == b.name; }),
                  moments.end());
    QVERIFY2(moments.size() > 5, "an undisturbed write could not be traced");

    int waited = 0, passed = 0;
    for (const syscallMoment& at : moments) {
        const QString when = QStringLiteral("first stopped after %1 #%2").arg(QString::fromLatin1(at.name)).arg(at.count);
        reset();
        racer a(unnamed), b(unnamed);
        a.start(straceProgram(), signalledAt(at, "STOP", tool, head + first, false));
        QByteArray told;
        QVERIFY2(waitForError(&a, "--- stopped by SIGSTOP ---", &told), qPrintable(when + ": it never stopped\n" + told));
        const pid_t stopped = tracee(&a);
        QVERIFY(stopped > 0);
        b.start(tool, head + second);
        QByteArray bTold;
        const bool bWaits = waitForError(&b, "Waiting for", &bTold);
        ::kill(stopped, SIGCONT);
        // (waitForFinished says false of a process that has already ended.)
        QVERIFY(a.state() == QProcess::NotRunning || a.waitForFinished(20000));
        QVERIFY(b.state() == QProcess::NotRunning || b.waitForFinished(20000));
        QVERIFY2(a.exitCode() == 0, qPrintable(when + ": " + told + a.readAllStandardError().right(400)));
        QVERIFY2(b.exitCode() == 0, qPrintable(when + ": " + bTold + b.readAllStandardError().right(400)));
        // Either order of the two writes, never a mix; and one that waited
        // for the first edits what the first wrote.
        const QByteArray now = readBytes(path);
        QVERIFY2(now == firstThenSecond || (now == secondThenFirst && !bWaits),
                 qPrintable(when + (bWaits ? ", the second waited: " : ", the second did not wait: ")
                            + "the file is not what either order of the writes gives"));
        QCOMPARE(leftovers(dir.path()), QString());
        if (bWaits)
            ++waited;
        else if (now == secondThenFirst)
            ++passed;
    }
    qInfo("%s: stopped after %d calls: the second waited %d times, went first %d times", QTest::currentDataTag(),
          int(moments.size()), waited, passed);
    // The first stopped while it held the lock, and before it took it.
    QVERIFY(waited > 0);
    QVERIFY(passed > 0);
}

void tst_reliability::diskFull_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("old");
    const QByteArray settings = settingsFixture(2200);
    QTest::newRow("settings file") << "ini" << settings;
    QTest::newRow("DDS configuration") << "ospl" << configFixture(44 << 10);
}

// A 64 KB file system holds the old file but not a second copy of it.
void tst_reliability::diskFull()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, old);
    NC_REQUIRE(isRoot(), "mounting a small file system needs root");
    NC_REQUIRE(!QStandardPaths::findExecutable("unshare").isEmpty(), "needs unshare (util-linux)");
    QVERIFY(old.size() > 36 * 1024 && old.size() < 56 * 1024);

    QTemporaryDir stage;
    QTemporaryDir mountPoint;
    writeBytes(stage.filePath("old"), old);
    const QString script =
        QStringLiteral("set -e; mount -t tmpfs -o size=64k nctiny \"$1\"; cp \"$2/old\" \"$1/file\"; shift 2; set +e;"
                       " \"$@\" 2>\"$STAGE/stderr\"; echo $? >\"$STAGE/rc\"; cp \"$MNT/file\" \"$STAGE/after\"; ls -A "
                       "\"$MNT\" >\"$STAGE/listing\"");
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("STAGE", stage.path());
    env.insert("MNT", mountPoint.path());
    p.setProcessEnvironment(env);
    p.start("unshare", QStringList{"-m", "--propagation", "private", "sh", "-c", script, "sh", mountPoint.path(),
                                   stage.path(), tool}
                           + updateArgs(kind, mountPoint.path() + "/file", "10.99.99.99"));
    QVERIFY(p.waitForFinished(30000));
    NC_REQUIRE(p.exitCode() == 0, "could not mount a tmpfs in a private mount namespace: "
                                      + QString::fromLocal8Bit(p.readAllStandardError()));

    const QString errors = QString::fromLocal8Bit(readBytes(stage.filePath("stderr")));
    QCOMPARE(readBytes(stage.filePath("rc")).trimmed(), QByteArray("1"));
    QCOMPARE(readBytes(stage.filePath("after")), old);
    QCOMPARE(readBytes(stage.filePath("listing")).trimmed(), QByteArray("file"));
    QVERIFY2(errors.contains("No space left on device"), qPrintable(errors.right(500)));
}

void tst_reliability::noRights_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<QString>("says"); // in the writer's debug lines; empty: it must write, promptly
    for (const QString kind : {"ini", "ospl"}) {
        const QString k = kind == "ini" ? "settings: " : "DDS: ";
        QTest::newRow(qPrintable(k + "read-only file")) << kind << "readonly-file"
                                                        << "read-only";
        QTest::newRow(qPrintable(k + "read-only folder"))
            << kind << "readonly-folder"
            << "you may write this file but not its folder, so it cannot be replaced safely";
        QTest::newRow(qPrintable(k + "file of another user")) << kind << "other-user"
                                                              << "you may not write this file";
        QTest::newRow(qPrintable(k + "folder writable but not readable")) << kind << "unreadable-folder"
                                                                          << "";
        QTest::newRow(qPrintable(k + "path is a folder")) << kind << "folder"
                                                          << "folder";
        QTest::newRow(qPrintable(k + "group-shared file of another user, as a group member"))
            << kind << "group-member"
            << "; replacing it would make it yours";
        // Only someone who may change the file may make a writer wait.
        QTest::newRow(qPrintable(k + "a reader holds every exclusive lock it can take")) << kind << "reader-exclusive"
                                                                                         << "";
        // Names beside the file are no one's to take in a folder like /tmp.
        QTest::newRow(qPrintable(k + "a co-user plants the old lock and temporary names in a sticky folder"))
            << kind << "sticky"
            << "";
        // The access list is kept whatever its size, and lets nobody who may
        // only read the file make a writer wait.
        QTest::newRow(qPrintable(k + "an access list of 130 users; a group member who may only read holds locks"))
            << kind << "big-acl"
            << "";
    }
    QTest::newRow("settings: a reader holds every shared lock it can take") << "ini"
                                                                            << "reader-shared"
                                                                            << "";
    // Lock files of earlier versions are ignored: neither waited on nor replaced.
    QTest::newRow("settings: a lock file planted and held by someone who may write the folder") << "ini"
                                                                                                << "planted-lock"
                                                                                                << "";
    QTest::newRow("settings: a planted lock file with exactly the right mode, but another owner") << "ini"
                                                                                                  << "planted-lock-0600"
                                                                                                  << "";
}

namespace {

// The file's owner, group, permissions and every extended attribute (the
// access control list among them), as root sees them.
QByteArray fileShape(const QByteArray& path)
{
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return "missing";
    QByteArray shape = QByteArray::number(st.st_uid) + ':' + QByteArray::number(st.st_gid) + ' '
                       + QByteArray::number(st.st_mode & 07777, 8);
    QByteArray names(1 << 16, '\0');
    const ssize_t n = ::llistxattr(path.constData(), names.data(), size_t(names.size()));
    QList<QByteArray> sorted = names.left(int(qMax<ssize_t>(n, 0))).split('\0');
    std::sort(sorted.begin(), sorted.end());
    for (const QByteArray& name : sorted) {
        const ssize_t size = name.isEmpty() ? -1 : ::lgetxattr(path.constData(), name.constData(), nullptr, 0);
        QByteArray value(int(qMax<ssize_t>(size, 0)), '\0');
        if (size >= 0 && ::lgetxattr(path.constData(), name.constData(), value.data(), size_t(value.size())) == size)
            shape += '\n' + name + '=' + value.toHex();
    }
    return shape;
}

// Locks of the kind given (LOCK_SH or LOCK_EX) on what fd (read-only) is
// open on, every kind such a descriptor can hold: whole-file flock, and a
// shared record lock over all of it when the kind is shared.
void holdLocks(int fd, int how)
{
    QCOMPARE(::flock(fd, how | LOCK_NB), 0);
    struct flock all = {};
    all.l_type = how == LOCK_SH ? F_RDLCK : F_WRLCK;
    all.l_whence = SEEK_SET; // from 0, as far as files go
    const int r = ::fcntl(fd, F_OFD_SETLK, &all);
    if (how == LOCK_SH)
        QCOMPARE(r, 0);
    else
        QCOMPARE(errno, EBADF); // an exclusive one needs the right to write
}

// A file planted beside the file by whoever runs this, with mode, held locked
// when hold; kept open in *held.
void plant(const QByteArray& name, mode_t mode, bool hold, std::vector<int>* held)
{
    held->push_back(::open(name.constData(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, mode));
    QVERIFY(held->back() >= 0);
    QCOMPARE(::fchmod(held->back(), mode), 0);
    if (hold)
        QCOMPARE(::flock(held->back(), LOCK_EX | LOCK_NB), 0);
}

// 130 named users who may write the file, the group only read.
bool setBigAcl(const QByteArray& file)
{
    QStringList entries{"g::r"};
    for (int i = 0; i < 130; ++i)
        entries << QStringLiteral("u:%1:rw").arg(200000 + i);
    return runProcess("setfacl", {"-m", entries.join(','), QString::fromLocal8Bit(file)}).exitCode == 0;
}

// Gives the file and its folder what problem needs, and says who writes.
void setUpRights(const QString& problem, const QByteArray& folder, const QByteArray& file, runOptions* options)
{
    const throwawayUsers& users = testUsers();
    const bool needsUsers = problem == "group-member" || problem == "sticky" || problem == "big-acl";
    const group* shared = ::getgrnam(users.group.toLocal8Bit().constData());
    const passwd* owner = ::getpwnam(users.owner.toLocal8Bit().constData());
    QVERIFY(!needsUsers || (shared && owner));
    if (problem == "readonly-file") {
        ::chmod(file.constData(), 0444);
        options->asNobody = false; // even root leaves it alone
    } else if (problem == "readonly-folder") {
        QCOMPARE(::chown(file.constData(), 65534, 65534), 0);
        ::chmod(file.constData(), 0666);
        ::chmod(folder.constData(), 0555);
    } else if (problem == "other-user") {
        ::chmod(file.constData(), 0644);
        ::chmod(folder.constData(), 0777);
    } else if (problem == "unreadable-folder") {
        QCOMPARE(::chown(file.constData(), 65534, 65534), 0);
        ::chmod(folder.constData(), 0333);
    } else if (problem == "folder") {
        options->asNobody = false;
    } else if (problem == "group-member") {
        QCOMPARE(::chown(folder.constData(), owner->pw_uid, shared->gr_gid), 0);
        QCOMPARE(::chown(file.constData(), owner->pw_uid, shared->gr_gid), 0);
        ::chmod(folder.constData(), 02775);
        ::chmod(file.constData(), 0664);
        options->user = users.member;
    } else if (problem == "sticky") {
        ::chmod(folder.constData(), 01777);
        QCOMPARE(::chown(file.constData(), owner->pw_uid, shared->gr_gid), 0);
        ::chmod(file.constData(), 0644);
        options->user = users.owner;
    } else if (problem == "big-acl") {
        ::chmod(folder.constData(), 0755);
        QCOMPARE(::chown(file.constData(), 0, shared->gr_gid), 0);
        QVERIFY(setBigAcl(file));
        options->asNobody = false;
    } else if (problem.startsWith("reader")) {
        ::chmod(folder.constData(), 0755);
        options->asNobody = false; // root writes
    } else if (problem.startsWith("planted-lock")) {
        ::chmod(folder.constData(), 0777);
        options->asNobody = false;
    }
}

} // namespace

void tst_reliability::noRights()
{
    QFETCH(QString, kind);
    QFETCH(QString, problem);
    QFETCH(QString, says);
    NC_REQUIRE(isRoot(), "running as another user needs root");
    const bool needsUsers = problem == "group-member" || problem == "sticky" || problem == "big-acl";
    NC_REQUIRE(!needsUsers || testUsers().ready, "needs useradd and groupadd (package passwd) for throw-away users");
    NC_REQUIRE(problem != "big-acl" || !QStandardPaths::findExecutable("setfacl").isEmpty(),
               "needs setfacl (package acl)");
    QTemporaryDir dir;
    QString path = dir.filePath(fileName);
    QByteArray old = kind == "ini" ? QByteArray("[xDS]\r\nbindAddress=10.0.0.1\r\n") : configFixture(0);
    writeBytes(path, old);
    const QByteArray folder = QFile::encodeName(dir.path());
    const QByteArray file = QFile::encodeName(path);
    const QByteArray lock = QFile::encodeName(lockFileName(path));
    const QByteArray oldTemp = QFile::encodeName(leftoverName(path)).chopped(1); // the fixed name of old
    runOptions options;
    options.timeoutMs = 15000;
    options.asNobody = true;
    std::vector<int> held; // what others keep open, and locked
    QStringList planted;   // names others put beside the file
    const auto release = qScopeGuard([&] {
        for (const int fd : held)
            ::close(fd);
    });
    setUpRights(problem, folder, file, &options);
    if (QTest::currentTestFailed())
        return;
    if (problem.startsWith("reader") || problem == "sticky" || problem == "big-acl") {
        const throwawayUsers& users = testUsers();
        asUser reader(problem.startsWith("reader") ? QStringLiteral("nobody") : users.member);
        QVERIFY(reader.active());
        if (problem == "sticky") {
            for (const QByteArray& name : {lock, oldTemp})
                plant(name, 0600, name == lock, &held);
            planted << QFileInfo(lockFileName(path)).fileName() << QFile::decodeName(oldTemp).section('/', -1);
        }
        held.push_back(::open(file.constData(), O_RDONLY | O_CLOEXEC));
        QVERIFY(held.back() >= 0);
        holdLocks(held.back(), problem == "reader-exclusive" ? LOCK_EX : LOCK_SH);
        if (problem == "reader-exclusive") {
            held.push_back(::open(folder.constData(), O_RDONLY | O_CLOEXEC));
            QCOMPARE(::flock(held.back(), LOCK_EX | LOCK_NB), 0);
        }
    } else if (problem.startsWith("planted-lock")) {
        asNobody planter;
        QVERIFY(planter.active());
        plant(lock, problem == "planted-lock" ? 0666 : 0600, true, &held);
        planted << QFileInfo(lockFileName(path)).fileName();
    }
    if (problem == "folder")
        path = dir.path();
    const QByteArray shapeBefore = fileShape(file);
    QByteArray plantedBefore;
    for (const QString& name : planted)
        plantedBefore += fileShape(QFile::encodeName(dir.filePath(name))) + '\n';

    const runResult r = runProcess(tool, updateArgs(kind, path, "10.99.99.99"), options);
    ::chmod(folder.constData(), 0700);
    QVERIFY(r.started);
    QVERIFY2(!r.timedOut, "the writer hung");
    QCOMPARE(r.signal, 0);
    if (says.isEmpty()) {
        QVERIFY2(r.exitCode == 0, r.errors.right(400).constData());
        QCOMPARE(readBytes(path), expected(kind, old, "10.99.99.99"));
        // A writer waits up to 10 s for another writer, and for no one else.
        QVERIFY2(r.elapsedUs < 3000000, qPrintable(QStringLiteral("the writer took %1 ms").arg(r.elapsedUs / 1000)));
        QCOMPARE(fileShape(file), shapeBefore);
        if (problem == "reader-shared")
            QVERIFY2(r.errors.contains("not waiting for them"), r.errors.right(400).constData());
    } else {
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(readBytes(dir.filePath(fileName)), old);
        QVERIFY2(QString::fromLocal8Bit(r.errors).contains(says), r.errors.right(400).constData());
    }
    // Whatever others planted stays as it was; nothing else is beside the file.
    QByteArray plantedAfter;
    for (const QString& name : planted)
        plantedAfter += fileShape(QFile::encodeName(dir.filePath(name))) + '\n';
    QCOMPARE(plantedAfter, plantedBefore);
    QStringList besides = filesIn(dir.path());
    besides.removeAll(fileName);
    for (const QString& name : planted)
        besides.removeAll(name);
    QCOMPARE(besides, QStringList());
}

void tst_reliability::hostileInput_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("written");
    QTest::addColumn<QString>("says"); // in the writer's debug lines; empty: nothing asked

    QRandomGenerator random(42);
    QByteArray garbage(1 << 20, Qt::Uninitialized);
    for (char& c : garbage)
        c = char(random.bounded(256));
    QByteArray nuls;
    for (int i = 0; i < 2000; ++i)
        nuls += QByteArray("\0\0[Other]\0\r\nk=\0v\r\n", 18);
    QByteArray utf16Ini("\xFF\xFE");
    for (const QChar c : QStringLiteral("[xDS]\r\nbindAddress=10.0.0.1\r\n"))
        utf16Ini += char(c.unicode()) + QByteArray(1, '\0');

    // Settings files hold lines of bytes: any of these is understood, and
    // only the key's line may be added.
    QTest::newRow("settings: 1 MB of binary garbage") << "ini" << garbage << true << QString();
    QTest::newRow("settings: NUL bytes") << "ini" << nuls << true << QString();
    QTest::newRow("settings: one 8 MB line") << "ini" << QByteArray(8 << 20, 'a') << true << QString();
    QTest::newRow("settings: Latin-1, not UTF-8")
        << "ini" << QByteArray("[G\xE9n\xE9ral]\r\nNom=Caf\xE9\r\n[xDS]\r\nbindAddress=\xFF\xFE\r\n") << true
        << QString();
    // UTF-16 is edited as text and stays UTF-16; one that is no valid
    // UTF-16 would not come back as it was, so it is left alone.
    QTest::newRow("settings: UTF-16") << "ini" << utf16Ini << true << QString();
    QTest::newRow("settings: UTF-16 with an unpaired surrogate")
        << "ini" << utf16Ini + QByteArray("\x00\xD8", 2) << false << QString();

    // A configuration is written only when it was read in full.
    QByteArray deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    for (int i = 0; i < 100000; ++i)
        deep += "</a>";
    QByteArray quadratic = "<!DOCTYPE OpenSplice [<!ENTITY big \"" + QByteArray(100000, 'x') + "\">]><OpenSplice>";
    for (int i = 0; i < 10000; ++i)
        quadratic += "&big;";
    quadratic += "</OpenSplice>";
    const QByteArray real = testData("ospl/adlink-demos-ishapes.xml");
    QByteArray utf16Config("\xFF\xFE");
    for (const QChar c : QString::fromUtf8(real))
        utf16Config += char(c.unicode() & 0xFF) + QByteArray(1, char(c.unicode() >> 8));

    QTest::newRow("DDS: stray ampersand") << "ospl" << testData("xml/stray-ampersand.xml") << false << QString();
    QTest::newRow("DDS: truncated") << "ospl" << testData("xml/truncated.xml") << false << QString();
    QTest::newRow("DDS: entity-expansion bomb") << "ospl" << testData("xml/entity-bomb.xml") << false << QString();
    QTest::newRow("DDS: quadratic entity blow-up") << "ospl" << quadratic << false << QString();
    QTest::newRow("DDS: external entity")
        << "ospl"
        << QByteArray("<!DOCTYPE OpenSplice [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><OpenSplice>&x;</OpenSplice>")
        << false << QString();
    QTest::newRow("DDS: 100k levels deep") << "ospl" << deep << false << QString();
    QTest::newRow("DDS: binary garbage") << "ospl" << garbage << false << QString();
    QTest::newRow("DDS: settings file instead")
        << "ospl" << QByteArray("[xDS]\r\nbindAddress=1\r\n") << false << QString();
    QTest::newRow("DDS: empty file") << "ospl" << QByteArray() << false << QString();
    // The size limits keep an edit of any input under 1 GiB and a second: at
    // them, the shapes that cost most, and past them.
    QTest::newRow("DDS: just under the size limit")
        << "ospl" << configFixture(maxOsplBytes - 4096) << true << QString();
    QByteArray over = configFixture(maxOsplBytes - 4096);
    over.insert(over.indexOf("</Domain>"), QByteArray(maxOsplBytes + 1 - over.size(), ' '));
    QTest::newRow("DDS: one byte over the size limit")
        << "ospl" << over << false << QStringLiteral("QoS file is %1 bytes").arg(maxOsplBytes + 1);
    const QByteArray real2 = testData("ospl/adlink-demos-ishapes.xml");
    auto inDomain = [&real2](const QByteArray& unit, int bytes) {
        QByteArray xml = real2;
        return xml.insert(xml.indexOf("</Domain>"), unit.repeated((bytes - real2.size()) / unit.size()));
    };
    QTest::newRow("DDS: 8 MiB of text runs between empty elements, past the node limit")
        << "ospl" << inDomain("x<b/>", maxOsplBytes - 64) << false << QStringLiteral("elements, attributes and texts");
    QTest::newRow("DDS: just under the node limit")
        << "ospl" << inDomain("x<b/>", (maxOsplNodes - 10000) / 2 * 5) << true << QString();
    QTest::newRow("DDS: nesting whose indentation alone would pass the size limit")
        << "ospl" << inDomain(QByteArray("<a>").repeated(500) + QByteArray("</a>").repeated(500), 2 << 20) << false
        << QStringLiteral("bytes of indentation alone");
    QTest::newRow("DDS: comments whose rewrite would pass the size limit")
        << "ospl" << inDomain("<!---->", 5 << 20) << false << QStringLiteral("its rewrite would be");
    QTest::newRow("DDS: UTF-16") << "ospl" << utf16Config << true << QString();
    // Which services bind the address is looked up by name, never by
    // comparing each with all others.
    QByteArray services, elements;
    for (int i = 0; services.size() + elements.size() < 4 << 20; ++i) { // its rewrite stays under the limit
        services += "<Service name=\"s" + QByteArray::number(i) + "\"><Command>ddsi2</Command></Service>";
        elements += "<NetworkService name=\"s" + QByteArray::number(i) + "x\"/><Service name=\"s"
                    + QByteArray::number(i) + "x\"/>";
    }
    QByteArray crowded = real2;
    crowded.insert(crowded.indexOf("</Domain>"), services);
    crowded.insert(crowded.indexOf("</OpenSplice>"), elements);
    QTest::newRow("DDS: 4 MiB of Services the Domain runs and networking services, each of its own name")
        << "ospl" << crowded << true << QString();
    // Files a co-user could grow to crash a run as root: read only up to a
    // size no real file comes near.
    QTest::newRow("settings: 4 GiB") << "ini" << sparseMarker() << false << QString();
    // Nothing is written that would not be read back.
    QTest::newRow("settings: a line added would pass the size limit")
        << "ini" << QByteArray(int(maxFileBytes) - 8, ';') << false << QStringLiteral("more than is ever read back");
    QTest::newRow("DDS: 4 GiB") << "ospl" << sparseMarker() << false << QString();
}

void tst_reliability::hostileInput()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, input);
    QFETCH(bool, written);
    QFETCH(QString, says);
    QTemporaryDir dir;
    const QString path = dir.filePath(fileName);
    writeBytes(path, input);
    const bool sparse = input == sparseMarker();
    if (sparse) // holes, taking no room on the disk
        QVERIFY(QFile::resize(path, qint64(4) << 30));
    const QString value = "10.99.99.99";

    runOptions options;
    options.timeoutMs = underSanitizer() ? 120000 : 20000;
    qputenv("NC_REPORT_PEAK", "1");
    const runResult r = runProcess(tool, updateArgs(kind, path, value), options);
    QVERIFY(r.started);
    QVERIFY2(!r.timedOut, "did not finish in time");
    QCOMPARE(r.signal, 0);
    QVERIFY2(r.peakKb > 0, "the writer did not report its peak memory");
    // Bounded: a fixed base for the program and the toolkit, plus a multiple
    // of the input. A bare QDomDocument parse and save of the 20 MB file
    // alone peaks at about 27 times its size (measured); the edit keeps the
    // input and output beside the tree.
    // A settings edit keeps a few copies of the file. A DOM takes some 500
    // bytes a node, and the node limit bounds them whatever the input: an
    // edit of a DDS configuration stays under 1 GiB.
    const long boundKb = 80 * 1024 + (kind == "ini" ? long(input.size()) * 40 / 1024 : long(maxOsplNodes) * 600 / 1024);
    QVERIFY(kind == "ini" || boundKb < 1 << 20);
    if (!underSanitizer())
        QVERIFY2(r.peakKb <= boundKb,
                 qPrintable(QStringLiteral("peak memory %1 KB, bound %2 KB").arg(r.peakKb).arg(boundKb)));
    qInfo("%s: %lld ms, peak %ld KB for %d bytes", QTest::currentDataTag(), r.elapsedUs / 1000, r.peakKb,
          int(input.size()));

    if (sparse) {
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(QFileInfo(path).size(), qint64(4) << 30);
        QVERIFY2(r.errors.contains("larger than 64 MiB"), r.errors.right(400).constData());
        QCOMPARE(leftovers(dir.path()), QString());
        return;
    }
    const QByteArray after = readBytes(path);
    if (!written) {
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(after, input);
        QVERIFY2(!r.errors.isEmpty(), "a refusal must leave a debug line");
        QVERIFY2(r.errors.contains(says.toUtf8()), r.errors.right(400).constData());
    } else {
        QCOMPARE(r.exitCode, 0);
        const QString problem = kind == "ini"
                                    ? settingsEditProblem(input, after, settingsSection, "bindAddress", value.toUtf8())
                                    : osplEditProblem(input, after, value);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
    QCOMPARE(leftovers(dir.path()), QString());
}

void tst_reliability::otherMountNamespace_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("through"); // the path from /proc/PID on to the file
    QTest::addColumn<QString>("says");    // empty: the namespace's file is written
    for (const QString kind : {"ini", "ospl"}) {
        const QString k = kind == "ini" ? "settings: " : "DDS: ";
        QTest::newRow(qPrintable(k + "the root of a process in a private mount namespace")) << kind << "root%1/file"
                                                                                            << "";
        QTest::newRow(qPrintable(k + "the current folder of a process there")) << kind << "cwd/file"
                                                                               << "";
    }
    QTest::newRow("settings: an open file of a process there, which has no folder") << "ini"
                                                                                    << "fd/3"
                                                                                    << "whose folder cannot be known";
}

// The system's links in /proc lead where the kernel leads: through another
// mount namespace's root to its own file, never to the file of the same
// name here.
void tst_reliability::otherMountNamespace()
{
    QFETCH(QString, kind);
    QFETCH(QString, through);
    QFETCH(QString, says);
    NC_REQUIRE(isRoot(), "mounting in a private mount namespace needs root");
    NC_REQUIRE(!QStandardPaths::findExecutable("unshare").isEmpty(), "needs unshare (util-linux)");
    QTemporaryDir dir;
    const QString folder = dir.filePath("shared");
    QVERIFY(QDir().mkpath(folder));
    const QByteArray here = kind == "ini" ? QByteArray("[xDS]\r\nbindAddress=10.0.0.1\r\n") : configFixture(0);
    const QByteArray there = kind == "ini" ? QByteArray("[xDS]\r\nbindAddress=10.0.0.2\r\n")
                                           : QByteArray(configFixture(0)).replace("<Domain>", "<Domain><!--there-->");
    writeBytes(folder + "/file", here);
    writeBytes(dir.filePath("there"), there);
    // Holds a tmpfs over the folder, its file open and the folder current,
    // until told to go.
    QProcess holder;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("F", folder);
    env.insert("T", dir.filePath("there"));
    holder.setProcessEnvironment(env);
    holder.start("unshare", {"-m", "--propagation", "private", "sh", "-c",
                             "mount -t tmpfs ncns \"$F\" && cp \"$T\" \"$F/file\" && cd \"$F\" && exec 3<file && echo "
                             "ready && read x"});
    const auto stop = qScopeGuard([&] {
        holder.closeWriteChannel();
        holder.waitForFinished(5000);
    });
    QVERIFY(holder.waitForStarted());
    NC_REQUIRE(holder.waitForReadyRead(5000) && holder.readAllStandardOutput().startsWith("ready"),
               "could not mount a tmpfs in a private mount namespace: "
                   + QString::fromLocal8Bit(holder.readAllStandardError()));
    const QString proc = QStringLiteral("/proc/%1/").arg(holder.processId());
    const QString path = proc + QString(through).replace("%1", folder);

    const runResult r = runProcess(tool, updateArgs(kind, path, "10.99.99.99"));
    QCOMPARE(r.signal, 0);
    QCOMPARE(readBytes(folder + "/file"), here);
    const QByteArray thereNow = readBytes(proc + "root" + folder + "/file");
    if (says.isEmpty()) {
        QVERIFY2(r.exitCode == 0, r.errors.right(400).constData());
        QCOMPARE(thereNow, expected(kind, there, "10.99.99.99"));
        QCOMPARE(leftovers(proc + "root" + folder), QString());
    } else {
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(thereNow, there);
        QVERIFY2(r.errors.contains(says.toUtf8()), r.errors.right(400).constData());
    }
    QCOMPARE(filesIn(folder), QStringList{"file"});
}

QTEST_GUILESS_MAIN(tst_reliability)
#include "tst_reliability.moc"
