// The real executable as a process, inside the namespace built by
// in-netns.sh, offscreen.
#include "testSupport.h"

#include <QElapsedTimer>
#include <QLibraryInfo>
#include <QProcess>
#include <QTemporaryDir>

class tst_process : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void silentWithValidChoiceCloses_data();
    void silentWithValidChoiceCloses();
    void silentWithStaleChoiceStaysOpen_data();
    void silentWithStaleChoiceStaysOpen();
    void pluginFolder_data();
    void pluginFolder();

private:
    struct run {
        bool finished;
        int exitCode;
        qint64 ms;
        QString debug;
    };
    run start(const QStringList& args, int waitMs);
    std::unique_ptr<QTemporaryDir> root;
    QString iniPath() const { return root->filePath("local_settings.ini"); }
    QString osplPath() const { return root->filePath("SYS/config/dds/ospl.xml"); }
    const QByteArray ospl = testData("ospl/adlink-etc-ospl_ddsi2.xml");
    const QByteArray validIni = "[xDS]\r\nbindAddress=10.77.1.2\r\nAdaptor=nc0\r\n";
};

void tst_process::initTestCase()
{
    NC_REQUIRE(layout::inside(), QStringLiteral("run through in-netns.sh, which builds the known interfaces"));
}

void tst_process::init()
{
    root.reset(new QTemporaryDir);
    QDir().mkpath(root->filePath("SYS/config/dds"));
    writeBytes(osplPath(), ospl);
}

tst_process::run tst_process::start(const QStringList& args, int waitMs)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("CC_ROOT", root->path());
    env.insert("CC_SYSTEM", "SYS");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    p.start(NC_EXECUTABLE, args);
    if (!p.waitForStarted())
        return {false, -1, 0, "did not start"};
    const bool finished = p.waitForFinished(waitMs);
    const qint64 ms = timer.elapsed();
    if (!finished) {
        p.kill();
        p.waitForFinished();
    }
    return {finished, finished ? p.exitCode() : -1, ms, QString::fromUtf8(p.readAllStandardError())};
}

void tst_process::silentWithValidChoiceCloses_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("osplWritten");
    QTest::newRow("/silent") << QStringList{"/silent"} << false;
    QTest::newRow("/silent /ospl") << QStringList{"/silent", "/ospl"} << true;
    QTest::newRow("/ospl /silentx") << QStringList{"/ospl", "/silentx"} << true;
}

void tst_process::silentWithValidChoiceCloses()
{
    QFETCH(QStringList, args);
    QFETCH(bool, osplWritten);
    writeBytes(iniPath(), validIni);
    const run r = start(args, 10000);
    QVERIFY2(r.finished, qPrintable(r.debug));
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.ms < 1000, qPrintable(QString("took %1 ms").arg(r.ms)));
    QCOMPARE(readBytes(iniPath()), validIni);
    const QByteArray now = readBytes(osplPath());
    if (osplWritten) {
        QVERIFY(now != ospl);
        QVERIFY(now.contains("<NetworkInterfaceAddress>10.77.1.2</NetworkInterfaceAddress>"));
    } else {
        QCOMPARE(now, ospl);
    }
    // What the operator's log shows: every passed-over interface, then the verdict.
    for (const QString& name : layout::rejected())
        QVERIFY2(r.debug.contains("\"" + name + "\" : interface can't multicast!"), qPrintable(r.debug));
    QVERIFY(r.debug.contains("nicChooser::isValid: checking validity:  \"10.77.1.2\"   \"nc0\"\nnicChooser::isValid: valid"));
}

void tst_process::silentWithStaleChoiceStaysOpen_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::newRow("address moved to another interface") << QByteArray("[xDS]\nbindAddress=10.77.4.1\nAdaptor=nc0\n");
    QTest::newRow("interface gone") << QByteArray("[xDS]\nbindAddress=10.77.1.1\nAdaptor=eth9\n");
    QTest::newRow("nothing stored") << QByteArray();
}

void tst_process::silentWithStaleChoiceStaysOpen()
{
    QFETCH(QByteArray, ini);
    if (!ini.isEmpty())
        writeBytes(iniPath(), ini);
    const run r = start({"/silent", "/ospl"}, 1500);
    QVERIFY2(!r.finished, qPrintable(r.debug));
    QVERIFY(r.debug.contains("nicChooser::isValid: NOT valid"));
    QCOMPARE(ini.isEmpty() ? QByteArray() : readBytes(iniPath()), ini);
    QCOMPARE(readBytes(osplPath()), ospl);
}

void tst_process::pluginFolder_data()
{
    QTest::addColumn<bool>("present");
    QTest::newRow("plug-in folder missing: defaults kept, no abort") << false;
    QTest::newRow("plug-in folder present and used") << true;
}

void tst_process::pluginFolder()
{
    QFETCH(bool, present);
    writeBytes(iniPath(), validIni);
    const QString lib = root->filePath("SYS/windows/lib");
    if (present) {
        // The installation's folder holds the platform plug-ins; a link to
        // the system's stands in for them.
        QVERIFY(QDir().mkpath(lib));
        QVERIFY(QFile::link(QLibraryInfo::location(QLibraryInfo::PluginsPath) + "/platforms", lib + "/platforms"));
    }
    const run r = start({"/silent"}, 10000);
    QVERIFY2(r.finished, qPrintable(r.debug));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.debug.contains("does not exist; keeping the toolkit's default library paths"), !present);
}

QTEST_GUILESS_MAIN(tst_process)
#include "tst_process.moc"
