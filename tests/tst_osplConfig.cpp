#include "editChecks.h"
#include "installPaths.h"
#include "delve.h"
#include "osplConfig.h"
#include "runReport.h"
#include "testSupport.h"

#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QXmlStreamReader>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(outcome::code)

namespace {

const QString address = QStringLiteral("10.77.1.2");

// The document as a list of tokens, whitespace-only text left out and
// attributes in document order, each tagged with its element path.
// Serialised start tags with their attributes sorted, to compare with the
// toolkit's own output whatever order its hash chose.
QString sortedAttributes(const QString& xml)
{
    static const QRegularExpression tag(QStringLiteral("<([^\\s/>!?]+)((?: [^\\s=]+=\"[^\"]*\")+)"));
    static const QRegularExpression attr(QStringLiteral(" [^\\s=]+=\"[^\"]*\""));
    QString out;
    int pos = 0;
    auto it = tag.globalMatch(xml);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        QStringList attrs;
        auto ai = attr.globalMatch(m.captured(2));
        while (ai.hasNext())
            attrs << ai.next().captured(0);
        attrs.sort();
        out += xml.midRef(pos, m.capturedStart() - pos) + "<" + m.captured(1) + attrs.join(QString());
        pos = m.capturedEnd();
    }
    return out + xml.midRef(pos);
}

const QStringList foundInCorpus{"adlink-demos-ishapes-eu.xml",
                                "adlink-demos-ishapes.xml",
                                "adlink-etc-ospl_ddsi2.xml",
                                "adlink-etc-ospl_ddsi2_with_native.xml",
                                "adlink-etc-ospl_sp_ddsi.xml",
                                "adlink-etc-ospl_sp_ddsi_10gbps.xml",
                                "adlink-etc-ospl_sp_ddsi_statistics.xml",
                                "adlink-examples-networkpartitions-ddsie1.xml",
                                "adlink-testsuite-dds2734-ddsi_uni_ab.xml",
                                "lsst-sqre-sal-sciplat-lab-ospl-8de1620.xml",
                                "lsst-sqre-sal-sciplat-lab-ospl-c80a9b4.xml",
                                "ros2-rmw_opensplice-ros_ospl.xml"};

// What an update of the file ospl.xml to address tells, as the operator reads it.
QString told(const osplBinding& binding)
{
    return bindingLine(QStringLiteral("ospl.xml"), address, binding, QString());
}

const QString toldEnd = QStringLiteral("; running DDS services read their configuration only when they start");

// The line of a configuration whose one DDSI2Service 'ddsi2', run by the Domain, held old.
QString ddsi2Binds(const QString& old, const QString& more = QString())
{
    return "DDS configuration ospl.xml: DDSI2Service 'ddsi2' binds 10.77.1.2 (General/NetworkInterfaceAddress " + old
           + " -> 10.77.1.2" + more + ")" + toldEnd;
}

// The line of a configuration without DDSI2Service, with the other services' clauses.
QString nothingTook(const QString& others)
{
    return "DDS configuration ospl.xml: nothing took 10.77.1.2: there is no DDSI2Service" + others + toldEnd;
}

// The first NetworkInterfaceAddress of input holding old, holding the address instead.
QByteArray firstAddressSet(QByteArray input, const QByteArray& old)
{
    const QByteArray from = "<NetworkInterfaceAddress>" + old + "</NetworkInterfaceAddress>";
    const int at = input.indexOf(from);
    return at < 0 ? QByteArray()
                  : input.replace(at, from.size(), "<NetworkInterfaceAddress>" + address.toUtf8() + "</NetworkInterfaceAddress>");
}

// A configuration laid out as the update writes it, whose Domain runs its
// DDSI2Service 'ddsi2' and n NetworkServices 'n0'... of their own names.
QByteArray manyServices(int n)
{
    QByteArray domain, services;
    for (int i = 0; i < n; ++i) {
        domain += "      <Service name=\"n" + QByteArray::number(i) + "\"/>\n";
        services += "   <NetworkService name=\"n" + QByteArray::number(i) + "\"/>\n";
    }
    return "<OpenSplice>\n   <Domain>\n      <Service name=\"ddsi2\"/>\n" + domain
           + "   </Domain>\n   <DDSI2Service name=\"ddsi2\">\n      <General>\n         "
             "<NetworkInterfaceAddress>AUTO</NetworkInterfaceAddress>\n      </General>\n   </DDSI2Service>\n"
           + services + "</OpenSplice>\n";
}

// The clauses of the services n0 to n(count - 1), as the line or /check tells them.
QString nativeClauses(int count, const QString& before)
{
    QString out;
    for (int i = 0; i < count; ++i)
        out += before + QStringLiteral("NetworkService 'n%1' chooses its own interface").arg(i);
    return out;
}

QByteArray wrap(const QByteArray& nia)
{
    return "<OpenSplice><DDSI2Service><General>" + nia + "</General></DDSI2Service></OpenSplice>";
}

QByteArray wrapped(const QByteArray& nia)
{
    return "<OpenSplice>\n   <DDSI2Service>\n      <General>\n         " + nia
           + "\n      </General>\n   </DDSI2Service>\n</OpenSplice>\n";
}

// Why a row about an encoding cannot hold with this toolkit build, or empty: the EUC-JP rows need a codec that reads
// 8E E0 as a character it cannot write back (ICU's, as Debian's toolkit has), the US-ASCII row a codec of that name;
// the toolkit cross-built for Windows has no ICU, and its own codecs do neither.
QString codecMissing(const QByteArray& input)
{
    if (input.contains("encoding=\"US-ASCII\"") && !QTextCodec::codecForName("US-ASCII"))
        return QStringLiteral("this toolkit build (without ICU) knows no US-ASCII codec, so the file is refused as an "
                              "unknown encoding before any byte is looked at");
    QTextCodec* euc = QTextCodec::codecForName("EUC-JP");
    if (input.contains("EUC-JP")
        && (!euc || euc->toUnicode("\x8e\xe0") != QString(QChar(0xA2)) || euc->fromUnicode(QChar(0xA2)) == "\x8e\xe0"))
        return QStringLiteral("this toolkit build's EUC-JP codec (without ICU) does not read 8E E0 as U+00A2 one way, "
                              "which these rows need");
    return QString();
}

} // namespace

class tst_osplConfig : public QObject
{
    Q_OBJECT

private slots:
    void realConfigurations_data();
    void realConfigurations();
    void sameBytesInEveryProcess();
    void whatBinds_data();
    void whatBinds();
    void check_data();
    void check();
    void osplUri_data();
    void osplUri();
    void walk_data();
    void walk();
    void walkDebugLines();
    void refusedInput_data();
    void refusedInput();
    void everyTruncationLeftAlone();
    void fileFailures_data();
    void fileFailures();
};

void tst_osplConfig::realConfigurations_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("toldText"); // the line after the update
    const QString native = QStringLiteral("; NetworkService 'networking' chooses its own interface");
    const QString none = QStringLiteral(", nor any other networking service");
    const QHash<QString, QString> lines{
        {"adlink-build-durability-ospl_shm.xml", nothingTook(none)},
        {"adlink-etc-ospl.xml", nothingTook(native)},
        {"adlink-etc-ospl_ddsi.xml", nothingTook("; DDSIService 'ddsi' chooses its own interface")},
        {"adlink-etc-ospl_ddsi2_with_native.xml",
         QString(ddsi2Binds("AUTO")).replace(toldEnd, native + toldEnd)},
        {"adlink-etc-ospl_no_network.xml", nothingTook(none)},
        {"adlink-etc-ospl_sp_ddsi_10gbps.xml", ddsi2Binds("auto")},
        {"adlink-etc-ospl_sp_no_network.xml", nothingTook(none)},
        {"adlink-examples-log4cplugin.xml", nothingTook(none)},
        {"adlink-testsuite-dds2117-pub-wan.xml", nothingTook(native)},
        {"adlink-testsuite-dds2340-002-rhel62a.xml", nothingTook(native)},
        {"adlink-testsuite-dds2341-node1.xml", nothingTook(native)},
        {"lsst-sqre-sal-sciplat-lab-ospl-8de1620.xml",
         ddsi2Binds("${LSST_DDS_INTERFACE:-AUTO}",
                    "; the deployment's placeholder ${LSST_DDS_INTERFACE:-AUTO} is now a fixed address")},
        {"lsst-sqre-sal-sciplat-lab-ospl-c80a9b4.xml",
         ddsi2Binds("${LSST_DDS_INTERFACE}", "; the deployment's placeholder ${LSST_DDS_INTERFACE} is now a fixed address")},
    };
    const QStringList files = QDir(NC_TEST_DATA "/ospl").entryList({"*.xml"}, QDir::Files, QDir::Name);
    QVERIFY(files.size() >= 20);
    for (const QString& f : files)
        QTest::newRow(qPrintable(f)) << f << lines.value(f, ddsi2Binds("AUTO"));
}

void tst_osplConfig::realConfigurations()
{
    QFETCH(QString, name);
    QFETCH(QString, toldText);
    QTemporaryDir dir;
    const QString path = dir.filePath("ospl.xml");
    const QByteArray before = testData("ospl/" + name);
    writeBytes(path, before);

    osplBinding binding;
    const outcome::code r = updateOsplConfig(path, address, delve, lockWaitHook(), &binding).what();
    const QByteArray after = readBytes(path);
    QCOMPARE(told(binding), toldText);
    if (!foundInCorpus.contains(name)) {
        QCOMPARE(r, outcome::notFound);
        QCOMPARE(after, before);
        return;
    }
    QCOMPARE(r, outcome::done);

    // The reviewed result sits beside each input, so that any change in how it
    // is written (ours or the toolkit's serialiser) shows as a diff there.
    // NC_WRITE_EXPECTED=1 writes them anew, for review before committing.
    const QString golden = "ospl/" + name + ".expected";
    if (qEnvironmentVariableIsSet("NC_WRITE_EXPECTED"))
        writeBytes(NC_TEST_DATA "/" + golden, after);
    QCOMPARE(after, testData(golden));

    // Only the address differs, attributes in their original order included.
    const QString problem = osplEditProblem(before, after, address);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    NC_LINUX_ONLY("the second parser, xmllint, is a Linux program; the Linux build compares with it");
    NC_REQUIRE(secondParserFound(), QStringLiteral("the second parser is xmllint (libxml2-utils)"));
    const QString second = secondParserEditProblem(before, after, address);
    QVERIFY2(second.isEmpty(), qPrintable(second));

    // Laid out exactly as the toolkit's own serialiser lays it out.
    QDomDocument doc;
    // (given the line ends that XML reads, where the toolkit keeps CRs)
    QVERIFY(doc.setContent(QByteArray(before).replace("\r\n", "\n"), false));
    QDomNode root = doc.documentElement();
    QVERIFY(delve(root, osplElementPath(), address));
    QString dom;
    QTextStream stream(&dom);
    doc.save(stream, 3);
    stream.flush();
    QCOMPARE(sortedAttributes(QString::fromUtf8(after)), sortedAttributes(dom));

    // A second run with the same address leaves the file alone, and says the element held it.
    QCOMPARE(updateOsplConfig(path, address, delve, lockWaitHook(), &binding).what(), outcome::unchanged);
    QCOMPARE(readBytes(path), after);
    static const QRegularExpression change(QStringLiteral("\\(General/NetworkInterfaceAddress [^)]*\\)"));
    QCOMPARE(told(binding),
             QString(toldText).replace(change, QStringLiteral("(General/NetworkInterfaceAddress already 10.77.1.2)")));
}

// Which service binds the address, in small configurations of each kind: the
// line the update tells, and the file's bytes (these inputs are laid out as
// the update writes, so only the first element's text changes).
void tst_osplConfig::whatBinds_data()
{
    QTest::addColumn<QString>("file");        // in tests/data/services
    QTest::addColumn<outcome::code>("result");
    QTest::addColumn<QByteArray>("old");      // the first element's text, which becomes the address when written
    QTest::addColumn<QString>("toldText");    // the line; for a refusal, its reason

    const QString binds = "DDS configuration ospl.xml: DDSI2Service 'ddsi2' binds 10.77.1.2 "
                          "(General/NetworkInterfaceAddress AUTO -> 10.77.1.2)";
    QTest::newRow("two instances, the Domain runs only the second")
        << "two-ddsi2-instances-the-domain-runs-the-second.xml" << outcome::done << QByteArray("AUTO")
        << "DDS configuration ospl.xml: DDSI2Service 'ddsi2' took 10.77.1.2 (General/NetworkInterfaceAddress AUTO -> "
           "10.77.1.2) but is not run: its Service in the Domain has enabled=\"false\"; DDSI2Service 'ddsi2-plant' is "
           "run by the Domain but was not changed: only the first DDSI2Service is"
               + toldEnd;
    QTest::newRow("two instances, both run")
        << "two-ddsi2-instances-both-run.xml" << outcome::done << QByteArray("AUTO")
        << binds + "; DDSI2Service 'ddsi2-plant' is run by the Domain but was not changed: only the first DDSI2Service is"
               + toldEnd;
    QTest::newRow("the one DDSI2Service is not run by the Domain")
        << "ddsi2-not-run-by-the-domain.xml" << outcome::done << QByteArray("AUTO")
        << "DDS configuration ospl.xml: DDSI2Service 'ddsi2' took 10.77.1.2 (General/NetworkInterfaceAddress AUTO -> "
           "10.77.1.2) but is not run: the Domain has no Service of that name"
               + toldEnd;
    QTest::newRow("native networking beside DDSI2, disabled")
        << "native-networking-disabled-beside-ddsi2.xml" << outcome::done << QByteArray("AUTO")
        << binds + "; NetworkService 'networking' is not run: its Service in the Domain has enabled=\"false\"" + toldEnd;
    QTest::newRow("the same DDSI2Service given twice, the second with its own address")
        << "ddsi2-given-twice-under-one-name.xml" << outcome::done << QByteArray("AUTO")
        << binds + "; DDSI2Service 'ddsi2' is given again with a General/NetworkInterfaceAddress of its own, which was "
                   "not changed: only the first DDSI2Service is"
               + toldEnd;
    QTest::newRow("the Domain runs ddsi2 under a name no element has")
        << "domain-runs-ddsi2-under-a-name-with-no-element.xml" << outcome::done << QByteArray("AUTO")
        << binds + "; the Domain's Service 'ddsi2-lab' runs /opt/ospl/bin/ddsi2 with no DDSI2Service of that name, so it "
                   "chooses its own interface"
               + toldEnd;
    // Read as XML reads them, from an element of one attribute and one of several.
    QTest::newRow("names holding markup characters")
        << "names-holding-markup-characters.xml" << outcome::done << QByteArray("AUTO")
        << "DDS configuration ospl.xml: DDSI2Service 'ddsi2 <&\"' binds 10.77.1.2 (General/NetworkInterfaceAddress "
           "AUTO -> 10.77.1.2)"
               + toldEnd;
    QTest::newRow("no Domain to run the services")
        << "no-domain-to-run-the-services.xml" << outcome::done << QByteArray("AUTO")
        << "DDS configuration ospl.xml: DDSI2Service 'ddsi2' took 10.77.1.2 (General/NetworkInterfaceAddress AUTO -> "
           "10.77.1.2) but is not run: there is no Domain to run it"
               + toldEnd;
    QTest::newRow("the first DDSI2Service has no General: it runs on its own choice")
        << "first-ddsi2-without-general.xml" << outcome::notFound << QByteArray()
        << "DDS configuration ospl.xml: nothing took 10.77.1.2: the first DDSI2Service, 'ddsi2', has no General; "
           "DDSI2Service 'ddsi2' chooses its own interface; DDSI2Service 'ddsi2-spare' is not run (the Domain has no "
           "Service of that name) and was not changed: only the first DDSI2Service is"
               + toldEnd;
    // Sixteen are named, then how many more: a line stays a line.
    QTest::newRow("a thousand networking services run beside DDSI2")
        << "(generated)" << outcome::done << QByteArray("AUTO")
        << binds + nativeClauses(16, "; ") + "; 984 more networking services do not bind it either" + toldEnd;
    // DDSI2 set to IPv6 would not start with an IPv4 address: refused, the file as it was.
    QTest::newRow("IPv6 by flag")
        << "ddsi2-set-to-ipv6.xml" << outcome::refused << QByteArray()
        << "its DDSI2Service 'ddsi2' is set to IPv6 (General/UseIPv6 is true), and DDSI2 would not start with the IPv4 "
           "address 10.77.1.2";
    QTest::newRow("IPv6 by address")
        << "ipv6-address-in-the-element.xml" << outcome::refused << QByteArray()
        << "its DDSI2Service 'ddsi2' is set to IPv6 (its General/NetworkInterfaceAddress holds the IPv6 address fe80::1), "
           "and DDSI2 would not start with the IPv4 address 10.77.1.2";
    QTest::newRow("IPv6 by transport")
        << "ddsi2-transport-udp6.xml" << outcome::refused << QByteArray()
        << "its DDSI2Service 'ddsi2' is set to IPv6 (General/Transport is udp6), and DDSI2 would not start with the IPv4 "
           "address 10.77.1.2";
}

void tst_osplConfig::whatBinds()
{
    QFETCH(QString, file);
    QFETCH(outcome::code, result);
    QFETCH(QByteArray, old);
    QFETCH(QString, toldText);
    QTemporaryDir dir;
    const QString path = dir.filePath("ospl.xml");
    const QByteArray before = file == "(generated)" ? manyServices(1000) : testData("services/" + file);
    writeBytes(path, before);
    osplBinding binding;
    const outcome r = updateOsplConfig(path, address, delve, lockWaitHook(), &binding);
    QCOMPARE(r.what(), result);
    if (result == outcome::done) {
        const QByteArray expected = firstAddressSet(before, old);
        QVERIFY(!expected.isNull());
        QCOMPARE(readBytes(path), expected);
    } else {
        QCOMPARE(readBytes(path), before);
    }
    QCOMPARE(osplUpdated(r) ? told(binding) : r.reason(), toldText);
}

// What /check says of a DDS configuration, for a stored choice that is listed.
void tst_osplConfig::check_data()
{
    QTest::addColumn<QString>("file");      // in tests/data
    QTest::addColumn<QString>("stored");    // the stored address
    QTest::addColumn<QStringList>("lines"); // "%1": the file's path

    QTest::newRow("the element holds the stored address")
        << "ospl/adlink-etc-ospl_ddsi2.xml.expected" << "10.77.1.2" << QStringList();
    QTest::newRow("the element holds another value")
        << "ospl/adlink-etc-ospl_ddsi2.xml" << "10.77.1.2"
        << QStringList{"the DDS configuration %1 holds AUTO, not 10.77.1.2, in the General/NetworkInterfaceAddress of "
                       "DDSI2Service 'ddsi2'"};
    QTest::newRow("native networking run beside the address")
        << "ospl/adlink-etc-ospl_ddsi2_with_native.xml.expected" << "10.77.1.2"
        << QStringList{"the DDS configuration %1: NetworkService 'networking' chooses its own interface"};
    QTest::newRow("no networking service at all") << "ospl/adlink-etc-ospl_no_network.xml" << "10.77.1.2"
                                                  << QStringList();
    QTest::newRow("two instances: the one run is not set")
        << "services/two-ddsi2-instances-the-domain-runs-the-second.xml" << "AUTO"
        << QStringList{"the DDS configuration %1: DDSI2Service 'ddsi2-plant' is run by the Domain but an update sets only "
                       "the first DDSI2Service"};
    QTest::newRow("the first DDSI2Service run without the element")
        << "services/first-ddsi2-without-general.xml" << "10.77.1.2"
        << QStringList{"the DDS configuration %1: DDSI2Service 'ddsi2' has no General/NetworkInterfaceAddress, so it "
                       "chooses its own interface"};
    QTest::newRow("IPv6: an update would be refused")
        << "services/ipv6-address-in-the-element.xml" << "10.77.1.2"
        << QStringList{"the DDS configuration %1 cannot take 10.77.1.2: its DDSI2Service 'ddsi2' is set to IPv6 (its "
                       "General/NetworkInterfaceAddress holds the IPv6 address fe80::1), and DDSI2 would not start with "
                       "the IPv4 address 10.77.1.2",
                       "the DDS configuration %1 holds fe80::1, not 10.77.1.2, in the General/NetworkInterfaceAddress of "
                       "DDSI2Service 'ddsi2'"};
    QStringList many;
    for (int i = 0; i < 16; ++i)
        many << "the DDS configuration %1: NetworkService 'n" + QString::number(i) + "' chooses its own interface";
    QTest::newRow("a thousand networking services run: sixteen named, then how many more")
        << "(generated)" << "10.77.1.2"
        << QStringList{"the DDS configuration %1 holds AUTO, not 10.77.1.2, in the General/NetworkInterfaceAddress of "
                       "DDSI2Service 'ddsi2'"}
                + many
                + QStringList{"the DDS configuration %1: 984 more running networking services do not bind 10.77.1.2 "
                              "either"};
    QTest::newRow("not well-formed")
        << "xml/truncated.xml" << "10.77.1.2"
        << QStringList{"the DDS configuration %1 cannot be read: it is not well-formed XML (line 6, column 14: Premature "
                       "end of document)"};
}

void tst_osplConfig::check()
{
    QFETCH(QString, file);
    QFETCH(QString, stored);
    QFETCH(QStringList, lines);
    QTemporaryDir dir;
    const QString path = dir.filePath("ospl.xml");
    const QByteArray before = file == "(generated)" ? manyServices(1000) : testData(file);
    writeBytes(path, before);
    installationState state;
    state.settingsFile = QStringLiteral("local_settings.ini");
    state.storedAddress = stored;
    state.storedAdaptor = QStringLiteral("nc0");
    state.storedListed = true;
    state.ddsFile = path;
    state.dds = inspectOsplConfig(path, &state.binding);
    for (QString& line : lines)
        line = line.arg(path);
    QCOMPARE(checkLines(state), lines);
    QCOMPARE(readBytes(path), before);
}

void tst_osplConfig::osplUri_data()
{
    QTest::addColumn<QString>("uri");   // "%1": the folder
    QTest::addColumn<bool>("elsewhere");
    QTest::newRow("not set") << "" << false;
    QTest::newRow("the installation's file") << "file://%1/ospl.xml" << false;
    QTest::newRow("the installation's file, as a bare path") << "%1/ospl.xml" << false;
    QTest::newRow("the installation's file, through ..") << "file://%1/sub/../ospl.xml" << false;
    QTest::newRow("the installation's file, through a link") << "file://%1/link.xml" << false;
    QTest::newRow("another file") << "file://%1/other.xml" << true;
    QTest::newRow("a file that does not exist") << "file://%1/missing.xml" << true;
    QTest::newRow("no file at all") << "osplcfg://server/config" << true;
}

void tst_osplConfig::osplUri()
{
    QFETCH(QString, uri);
    QFETCH(bool, elsewhere);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("sub"));
    writeBytes(dir.filePath("ospl.xml"), "<OpenSplice/>");
    writeBytes(dir.filePath("other.xml"), "<OpenSplice/>");
    if (uri.contains("link.xml")) {
        NC_LINUX_ONLY("a symbolic link is a Linux row: Windows makes a shortcut file of it");
        QVERIFY(QFile::link(dir.filePath("ospl.xml"), dir.filePath("link.xml")));
    }
    // file:///C:/... on Windows
    const QString folder = (dir.path().startsWith('/') ? QString() : QStringLiteral("/")) + dir.path();
    const QString given = uri.startsWith("file://") ? uri.arg(folder) : uri.arg(dir.path());
    QCOMPARE(osplUriElsewhere(given, QDir::toNativeSeparators(dir.filePath("ospl.xml"))),
             elsewhere ? given : QString());
}

// The toolkit's DOM orders attributes by a per-process hash seed; separate
// processes must still write the same bytes.
void tst_osplConfig::sameBytesInEveryProcess()
{
    QTemporaryDir dir;
    const QByteArray input = "<OpenSplice><Domain a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\"/>"
                             "<DDSI2Service name=\"ddsi2\" z=\"1\" y=\"2\" x=\"3\"><General>"
                             "<NetworkInterfaceAddress>AUTO</NetworkInterfaceAddress></General></DDSI2Service>"
                             "</OpenSplice>";
    QByteArray first;
    for (int run = 0; run < 4; ++run) {
        const QString path = dir.filePath(QString("run%1.xml").arg(run));
        writeBytes(path, input);
        QCOMPARE(QProcess::execute(NC_UPDATE_TOOL, {"ospl", path, address}), 0);
        const QByteArray out = readBytes(path);
        if (run == 0)
            first = out;
        QCOMPARE(out, first);
        QCOMPARE(QProcess::execute(NC_UPDATE_TOOL, {"ospl", path, address}), 0);
        QCOMPARE(readBytes(path), first);
    }
    QVERIFY(first.contains("<Domain a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\"/>"));
    QVERIFY(first.contains("<DDSI2Service name=\"ddsi2\" z=\"1\" y=\"2\" x=\"3\">"));
}

void tst_osplConfig::walk_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<outcome::code>("result");
    QTest::addColumn<QByteArray>("output"); // for written

    const QByteArray nia = "<NetworkInterfaceAddress>10.77.1.2</NetworkInterfaceAddress>";
    QTest::newRow("text replaced, three-space indentation")
        << wrap("<NetworkInterfaceAddress>AUTO</NetworkInterfaceAddress>") << outcome::done << wrapped(nia);
    QTest::newRow("empty element gets the address")
        << wrap("<NetworkInterfaceAddress/>") << outcome::done << wrapped(nia);
    // A comment beside text is mixed content: a line break before it would
    // become part of the address.
    QTest::newRow("leading comment is kept in place, text replaced")
        << wrap("<NetworkInterfaceAddress><!--c-->AUTO</NetworkInterfaceAddress>") << outcome::done
        << wrapped("<NetworkInterfaceAddress><!--c-->10.77.1.2</NetworkInterfaceAddress>");
    QTest::newRow("comment only: text added before it")
        << wrap("<NetworkInterfaceAddress><!--c--></NetworkInterfaceAddress>") << outcome::done
        << wrapped("<NetworkInterfaceAddress>10.77.1.2<!--c-->\n         </NetworkInterfaceAddress>");
    // The element's text is all its pieces together: every piece must go.
    QTest::newRow("address split by a comment: all its pieces replaced")
        << wrap("<NetworkInterfaceAddress>10.1<!-- old: .2 -->.0.5</NetworkInterfaceAddress>") << outcome::done
        << wrapped("<NetworkInterfaceAddress>10.77.1.2<!-- old: .2 --></NetworkInterfaceAddress>");
    QTest::newRow("address split by CDATA: all its pieces replaced")
        << wrap("<NetworkInterfaceAddress>1.2<![CDATA[.3]]>.4</NetworkInterfaceAddress>") << outcome::done
        << wrapped("<NetworkInterfaceAddress>10.77.1.2</NetworkInterfaceAddress>");
    QTest::newRow("CDATA takes the address")
        << wrap("<NetworkInterfaceAddress><![CDATA[AUTO]]></NetworkInterfaceAddress>") << outcome::done
        << wrapped("<NetworkInterfaceAddress><![CDATA[10.77.1.2]]></NetworkInterfaceAddress>");
    QTest::newRow("second address element untouched")
        << wrap("<NetworkInterfaceAddress>A</NetworkInterfaceAddress><NetworkInterfaceAddress>B</"
                "NetworkInterfaceAddress>")
        << outcome::done << wrapped(nia + "\n         <NetworkInterfaceAddress>B</NetworkInterfaceAddress>");
    QTest::newRow("non-element siblings passed over")
        << QByteArray("<OpenSplice><!--x--><?pi d?><DDSI2Service>t<General>"
                      "<NetworkInterfaceAddress>A</NetworkInterfaceAddress></General></DDSI2Service></OpenSplice>")
        << outcome::done
        << QByteArray("<OpenSplice>\n   <!--x-->\n<?pi d?>\n   <DDSI2Service>t<General>" + nia
                      + "</General></DDSI2Service>\n</OpenSplice>\n");
    QTest::newRow("attribute order and escaping kept")
        << QByteArray("<OpenSplice><DDSI2Service z='1' a=\"x&amp;y\" m=\"&lt;&quot;'&#10;\"><General>"
                      "<NetworkInterfaceAddress>A</NetworkInterfaceAddress></General></DDSI2Service></OpenSplice>")
        << outcome::done
        << QByteArray("<OpenSplice>\n   <DDSI2Service z=\"1\" a=\"x&amp;y\" m=\"&lt;&quot;'&#xa;\">\n      <General>\n "
                      "        "
                      + nia + "\n      </General>\n   </DDSI2Service>\n</OpenSplice>\n");
    // XML reads a line break or tab typed inside an attribute value as a
    // space; writing the value back must not turn it into a real line break.
    QTest::newRow("line break typed in an attribute reads as a space")
        << QByteArray("<OpenSplice><DDSI2Service name=\"a\nb\tc\"><General>"
                      "<NetworkInterfaceAddress>A</NetworkInterfaceAddress></General></DDSI2Service></OpenSplice>")
        << outcome::done
        << QByteArray("<OpenSplice>\n   <DDSI2Service name=\"a b c\">\n      <General>\n         " + nia
                      + "\n      </General>\n   </DDSI2Service>\n</OpenSplice>\n");
    QTest::newRow("line break typed in one of several attributes")
        << QByteArray("<OpenSplice><DDSI2Service b=\"x\r\ny\" a=\"&#10;\"><General>"
                      "<NetworkInterfaceAddress>A</NetworkInterfaceAddress></General></DDSI2Service></OpenSplice>")
        << outcome::done
        << QByteArray("<OpenSplice>\n   <DDSI2Service b=\"x y\" a=\"&#xa;\">\n      <General>\n         " + nia
                      + "\n      </General>\n   </DDSI2Service>\n</OpenSplice>\n");
    // A tab given as a reference stays a tab; written as it stands, it would read as a space.
    QTest::newRow("tab reference in one of several attributes")
        << QByteArray("<OpenSplice><DDSI2Service b=\"x&#9;y\" a=\"1\"><General>"
                      "<NetworkInterfaceAddress>A</NetworkInterfaceAddress></General></DDSI2Service></OpenSplice>")
        << outcome::done
        << QByteArray("<OpenSplice>\n   <DDSI2Service b=\"x&#x9;y\" a=\"1\">\n      <General>\n         " + nia
                      + "\n      </General>\n   </DDSI2Service>\n</OpenSplice>\n");
    QTest::newRow("CR typed in text reads as a line feed")
        << QByteArray("<OpenSplice><DDSI2Service><General><NetworkInterfaceAddress>A</NetworkInterfaceAddress>"
                      "</General><Note>x\r\ny\rz&#13;</Note></DDSI2Service></OpenSplice>")
        << outcome::done
        << QByteArray("<OpenSplice>\n   <DDSI2Service>\n      <General>\n         " + nia
                      + "\n      </General>\n      <Note>x\ny\nz&#xd;</Note>\n   </DDSI2Service>\n</OpenSplice>\n");
    QTest::newRow("DOCTYPE after the declaration kept in place")
        << QByteArray("<?xml version=\"1.0\"?>\n<!DOCTYPE OpenSplice>\n<!-- c -->" + wrap("<NetworkInterfaceAddress/>"))
        << outcome::done << QByteArray("<?xml version='1.0'?>\n<!DOCTYPE OpenSplice>\n<!-- c -->\n" + wrapped(nia));
    QTest::newRow("ISO-8859-1 declaration kept")
        << QByteArray(
               "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<OpenSplice><!--caf\xE9--><DDSI2Service><General>"
               "<NetworkInterfaceAddress>A</NetworkInterfaceAddress></General></DDSI2Service></OpenSplice>")
        << outcome::done
        << QByteArray(
               "<?xml version='1.0' encoding='ISO-8859-1'?>\n<OpenSplice>\n   <!--caf\xE9-->\n   <DDSI2Service>\n"
               "      <General>\n         "
               + nia + "\n      </General>\n   </DDSI2Service>\n</OpenSplice>\n");
    {
        const QByteArray latin1 = "<?xml version='1.0' encoding='ISO-8859-1'?>\n<OpenSplice>\n   <DDSI2Service";
        const QByteArray general = ">\n      <General>\n         " + nia + "\n";
        const QByteArray end = "      </General>\n   </DDSI2Service>\n</OpenSplice>\n";
        QTest::newRow("ISO-8859-1: characters beyond it in text, one reference each")
            << testData("xml/emoji-in-text-latin1.xml") << outcome::done
            << latin1 + general + "         <Note>caf\xE9 &#x1f600; &#x100;</Note>\n" + end;
        QTest::newRow("ISO-8859-1: characters beyond it in a single attribute, one reference each")
            << testData("xml/emoji-in-attribute-latin1.xml") << outcome::done
            << latin1 + " name=\"&#x1f600;&#x100;\xE9\"" + general + end;
        QTest::newRow("ISO-8859-1: a character beyond it in one of several attributes")
            << testData("xml/emoji-in-one-of-several-attributes-latin1.xml") << outcome::done
            << latin1 + " name=\"&#x1f600;\" enabled=\"true\"" + general + end;
        QTest::newRow("ISO-8859-1: references in comments, instructions and CDATA are their text")
            << testData("xml/references-in-comment-instruction-cdata-latin1.xml") << outcome::done
            << QByteArray("<?xml version='1.0' encoding='ISO-8859-1'?>\n<OpenSplice>\n   <!-- &#x1F600; -->\n"
                          "<?note &#x1F600;?>\n   <DDSI2Service"
                          + general + "         <Note><![CDATA[&#x1F600;]]></Note>\n" + end);
        // The toolkit reads EUC-JP 8E E0 as U+00A2, which it cannot write
        // back in EUC-JP; CDATA cannot hold a reference, text can.
        QTest::newRow("EUC-JP: CDATA it cannot write back becomes text with references")
            << testData("xml/euc-jp-one-way-in-cdata.xml") << outcome::done
            << QByteArray("<?xml version='1.0' encoding='EUC-JP'?>\n<OpenSplice>\n   <DDSI2Service" + general
                          + "         <Note>a&lt;&#xa2;</Note>\n" + end);
    }
    QTest::newRow("xml:space=\"preserve\": white space kept, the address replaces the text beside the comment")
        << testData("xml/preserved-space.xml") << outcome::done
        << QByteArray(
               "<OpenSplice>\n   <DDSI2Service>\n      <General xml:space=\"preserve\">\n"
               "  <NetworkInterfaceAddress>\n    <!-- set by the installer -->10.77.1.2</NetworkInterfaceAddress>"
               "\t<Note>  two  spaces  </Note>\n  <Layout xml:space=\"default\">\n            <Item/>\n"
               "         </Layout>\n</General>\n   </DDSI2Service>\n</OpenSplice>\n");
    QTest::newRow("mixed content kept as written, with all inside it")
        << testData("xml/mixed-content.xml") << outcome::done
        << QByteArray("<OpenSplice>\n   <DDSI2Service>\n      <General>\n         " + nia
                      + "\n      </General>\n      <Description>Binds to <b>one</b> address <!-- per host -->only; "
                        "see <em>\n  <i>notes</i>\n</em>.</Description>\n      <Script>\n  <![CDATA[x < y]]>\n"
                        "</Script>\n   </DDSI2Service>\n</OpenSplice>\n");
    {
        // The byte-order mark tells readers the encoding; losing it, or
        // rewriting UTF-16 as UTF-8, changes what the file means to them.
        const QString in = QString::fromLatin1(wrap("<NetworkInterfaceAddress>A</NetworkInterfaceAddress>"));
        const QString out = QString::fromLatin1(wrapped(nia));
        const QString declIn = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n") + in;
        const QString declOut = QStringLiteral("<?xml version='1.0' encoding='UTF-16'?>\n") + out;
        auto utf16le = [](const QString& s) {
            return QByteArray("\xFF\xFE") + QByteArray(reinterpret_cast<const char*>(s.utf16()), s.size() * 2);
        };
        auto utf16be = [&](const QString& s) {
            QByteArray b = utf16le(s);
            for (int i = 0; i < b.size(); i += 2) {
                const char low = b.at(i);
                b[i] = b.at(i + 1);
                b[i + 1] = low;
            }
            return b;
        };
        QTest::newRow("UTF-8 byte-order mark kept") << QByteArray("\xEF\xBB\xBF" + in.toLatin1()) << outcome::done
                                                    << QByteArray("\xEF\xBB\xBF" + out.toLatin1());
        QTest::newRow("UTF-16LE with mark, no declaration, stays UTF-16LE")
            << utf16le(in) << outcome::done << utf16le(out);
        QTest::newRow("UTF-16BE with mark, no declaration, stays UTF-16BE")
            << utf16be(in) << outcome::done << utf16be(out);
        QTest::newRow("UTF-16 declared, mark kept") << utf16le(declIn) << outcome::done << utf16le(declOut);
        // Told only "UTF-16", the byte order is the one the bytes show.
        QTest::newRow("UTF-16 declared, big-endian mark: stays big-endian")
            << testData("xml/utf16be-declared-with-mark.xml") << outcome::done << utf16be(declOut);
        QTest::newRow("UTF-16 declared, big-endian without mark: stays so")
            << testData("xml/utf16be-declared-without-mark.xml") << outcome::done << utf16be(declOut).mid(2);
        QTest::newRow("UTF-16BE without mark or declaration: stays UTF-16BE")
            << testData("xml/utf16be-without-mark-or-declaration.xml") << outcome::done << utf16be(out).mid(2);
        QTest::newRow("UTF-16 declared standalone, little-endian without mark: declaration kept")
            << testData("xml/utf16le-standalone-without-mark.xml") << outcome::done
            << utf16le(QStringLiteral("<?xml version='1.0' encoding='UTF-16' standalone='yes'?>\n") + out).mid(2);
    }
    QTest::newRow("same address already there") << wrapped(nia) << outcome::unchanged << QByteArray();
    QTest::newRow("root named otherwise")
        << QByteArray("<Config>" + wrap(nia) + "</Config>") << outcome::notFound << QByteArray();
    QTest::newRow("names are case-sensitive")
        << QByteArray("<opensplice><DDSI2Service><General>" + nia + "</General></DDSI2Service></opensplice>")
        << outcome::notFound << QByteArray();
    QTest::newRow("only the first DDSI2Service is searched") << QByteArray(
        "<OpenSplice><DDSI2Service/><DDSI2Service><General>" + nia + "</General></DDSI2Service></OpenSplice>")
                                                             << outcome::notFound << QByteArray();
    QTest::newRow("General without the element") << wrap("<Other/>") << outcome::notFound << QByteArray();
}

void tst_osplConfig::walk()
{
    QFETCH(QByteArray, input);
    QFETCH(outcome::code, result);
    QFETCH(QByteArray, output);
    if (!codecMissing(input).isEmpty())
        QSKIP(qPrintable(codecMissing(input)));
    QByteArray out;
    QCOMPARE(rewriteOsplConfig(input, address, delve, &out).what(), result);
    if (result != outcome::done)
        return;
    QCOMPARE(out, output);
    QByteArray again;
    QCOMPARE(rewriteOsplConfig(out, address, delve, &again).what(), outcome::unchanged);
    NC_LINUX_ONLY("the second parser, xmllint, is a Linux program; the Linux build compares with it");
    NC_REQUIRE(secondParserFound(), QStringLiteral("the second parser is xmllint (libxml2-utils)"));
    const QString second = secondParserEditProblem(input, out, address);
    QVERIFY2(second.isEmpty(), qPrintable(second));
}

void tst_osplConfig::walkDebugLines()
{
    QByteArray out;
    debugCapture capture;
    rewriteOsplConfig("<OpenSplice><!--c--><DDSI2Service><General>x<NetworkInterfaceAddress/></General>"
                      "</DDSI2Service></OpenSplice>",
                      address, delve, &out);
    QCOMPARE(capture.texts(),
             (QStringList{"\"OpenSplice\"", "\"#comment\"", "\"DDSI2Service\"", "\"General\"", "\"#text\"",
                          "\"NetworkInterfaceAddress\"", "Couldn't set text node; adding one"}));
}

void tst_osplConfig::refusedInput_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<outcome::code>("result");
    QTest::addColumn<QString>("debug");

    QTest::newRow("stray ampersand") << testData("xml/stray-ampersand.xml") << outcome::malformed << "not well-formed";
    QTest::newRow("cut short after General") << testData("xml/truncated.xml") << outcome::malformed << "Premature end";
    QTest::newRow("undeclared entity") << wrap("<NetworkInterfaceAddress>&addr;</NetworkInterfaceAddress>")
                                       << outcome::malformed << "not declared";
    QTest::newRow("internal subset") << testData("xml/internal-subset.xml") << outcome::unsupported
                                     << "internal subset";
    QTest::newRow("entity expansion bomb")
        << testData("xml/entity-bomb.xml") << outcome::unsupported << "internal subset";
    QTest::newRow("empty file") << QByteArray() << outcome::malformed << "not well-formed";
    QTest::newRow("binary garbage") << QByteArray("\x00\x01\xFF\xFE<Op", 7) << outcome::malformed << "not well-formed";
    QByteArray deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    QTest::newRow("100k levels deep") << deep << outcome::unsupported << "deeper than";
    // The reader lets these through, but XML forbids them and one would
    // pass for the marker that keeps attributes in order.
    QTest::newRow("control character in an attribute name")
        << QByteArray("<OpenSplice><DDSI2Service a\x01b=\"1\" c=\"2\"><General><NetworkInterfaceAddress/>"
                      "</General></DDSI2Service></OpenSplice>")
        << outcome::malformed << "not well-formed";
    QTest::newRow("control character in text")
        << wrap("<NetworkInterfaceAddress>a\x01</NetworkInterfaceAddress>") << outcome::malformed << "not well-formed";
    QTest::newRow("punctuation in an instruction's name")
        << QByteArray("<?d`0?>" + wrap("<NetworkInterfaceAddress/>")) << outcome::malformed << "not well-formed";
    QTest::newRow("instruction before the DOCTYPE")
        << QByteArray("<?style x?><!DOCTYPE OpenSplice>" + wrap("<NetworkInterfaceAddress/>")) << outcome::unsupported
        << "before its DOCTYPE";
    QTest::newRow("comment before the DOCTYPE")
        << QByteArray("<!-- c --><!DOCTYPE OpenSplice>" + wrap("<NetworkInterfaceAddress/>")) << outcome::unsupported
        << "before its DOCTYPE";
    QTest::newRow("comment the encoding cannot hold")
        << testData("xml/euc-jp-one-way-in-comment.xml") << outcome::unsupported << "comment holding characters";
    QTest::newRow("instruction the encoding cannot hold") << testData("xml/euc-jp-one-way-in-instruction.xml")
                                                          << outcome::unsupported << "instruction holding characters";
    QTest::newRow("byte beyond the declared US-ASCII")
        << testData("xml/byte-beyond-ascii.xml") << outcome::malformed << "bytes that are not US-ASCII";
    QTest::newRow("instruction in mixed content")
        << testData("xml/instruction-in-mixed-content.xml") << outcome::unsupported << "instruction in Description";
    QTest::newRow("instruction where white space is preserved")
        << testData("xml/instruction-in-preserved-space.xml") << outcome::unsupported << "instruction in DDSI2Service";
    QTest::newRow("address element missing: says how far the path goes")
        << testData("xml/address-element-missing.xml") << outcome::notFound
        << "QoS file has no \"NetworkInterfaceAddress\" element in \"OpenSplice/DDSI2Service/General\"";
    QTest::newRow("document element named otherwise: says so")
        << QByteArray("<Config>" + wrap("<NetworkInterfaceAddress/>") + "</Config>") << outcome::notFound
        << "QoS file's document element is \"Config\" , not \"OpenSplice\"";
    QTest::newRow("unknown declared encoding")
        << QByteArray("<?xml version=\"1.0\" encoding=\"x-no-such\"?>" + wrap("<NetworkInterfaceAddress/>"))
        << outcome::malformed << "";
}

void tst_osplConfig::refusedInput()
{
    QFETCH(QByteArray, input);
    QFETCH(outcome::code, result);
    QFETCH(QString, debug);
    if (!codecMissing(input).isEmpty())
        QSKIP(qPrintable(codecMissing(input)));
    QTemporaryDir dir;
    const QString path = dir.filePath("ospl.xml");
    writeBytes(path, input);
    debugCapture capture;
    QElapsedTimer timer;
    timer.start();
    const outcome::code r = updateOsplConfig(path, address, delve).what();
    QVERIFY2(timer.elapsed() < 5000, "must give up promptly");
    QVERIFY2(r == result || (result == outcome::malformed && r == outcome::unsupported),
             qPrintable(QString::number(int(r))));
    QCOMPARE(readBytes(path), input);
    QVERIFY2(capture.texts().join('\n').contains(debug), qPrintable(capture.texts().join('\n')));
}

void tst_osplConfig::everyTruncationLeftAlone()
{
    const QByteArray whole = testData("ospl/adlink-etc-ospl_ddsi2.xml");
    const int end = whole.lastIndexOf("</OpenSplice>") + int(strlen("</OpenSplice>"));
    int refused = 0;
    for (int cut = 0; cut < whole.size(); ++cut) {
        QByteArray out;
        debugCapture quiet;
        const outcome::code r = rewriteOsplConfig(whole.left(cut), address, delve, &out).what();
        if (cut < end) {
            QVERIFY2(r == outcome::malformed, qPrintable(QString("cut at %1 gave %2").arg(cut).arg(int(r))));
            ++refused;
        } else {
            QCOMPARE(r, outcome::done);
        }
    }
    QCOMPARE(refused, end);
}

void tst_osplConfig::fileFailures_data()
{
    QTest::addColumn<QString>("problem");
    QTest::addColumn<outcome::code>("result");
    QTest::newRow("missing file") << "missing" << outcome::missing;
    QTest::newRow("read-only file") << "readonly" << outcome::refused;
    // Protected on purpose and already right: nothing to write, nothing failed.
    QTest::newRow("read-only file already holding the address") << "readonly-current" << outcome::unchanged;
    QTest::newRow("unreadable for user") << "nobody-unreadable" << outcome::unreadable;
    QTest::newRow("folder not writable for user") << "nobody-folder" << outcome::refused;
    // The file written must be the one read: a ".." after a link climbs out
    // of the folder the link led to, not out of the path as written.
    QTest::newRow("relative link in a release layout") << "release" << outcome::done;
    QTest::newRow("link planted by the folder's owner, run by root") << "planted" << outcome::unreadable;
    // Any path the system takes: on Windows the wide calls get \\?\ paths (under Wine for real).
    QTest::newRow("a CC_ROOT of 300 characters") << "long" << outcome::done;
}

void tst_osplConfig::fileFailures()
{
    QFETCH(QString, problem);
    QFETCH(outcome::code, result);
    const bool asRoot = problem == "release" || problem == "planted";
    if (asRoot || problem.startsWith("nobody"))
        NC_LINUX_ONLY("other users, owners and symbolic links planted by them are Linux rows");
    if ((asRoot || problem.startsWith("nobody")) && !isRoot())
        QSKIP("changing owners and dropping to another user need root");
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), problem == "nobody-folder" ? 0755 : 0777);
    QString path = dir.filePath("ospl.xml");
    QString real = path; // the file the path leads to
    QByteArray before = wrap("<NetworkInterfaceAddress>AUTO</NetworkInterfaceAddress>");
    if (problem == "readonly-current")
        QCOMPARE(rewriteOsplConfig(QByteArray(before), address, delve, &before).what(), outcome::done);
    auto link = [&](const char* text, const QString& at) {
        QCOMPARE(::symlink(text, QFile::encodeName(at).constData()), 0);
    };
    if (problem == "release") {
        // app/current -> releases/v2, whose file is a link into app/shared;
        // joining the link's text onto the path would reach shared/ instead.
        QVERIFY(QDir(dir.path()).mkpath("app/releases/v2/SYS/config/dds") && QDir(dir.path()).mkpath("app/shared")
                && QDir(dir.path()).mkpath("shared"));
        real = dir.filePath("app/shared/ospl.xml");
        writeBytes(dir.filePath("shared/ospl.xml"), before);
        link("../../../../../shared/ospl.xml", dir.filePath("app/releases/v2/SYS/config/dds/ospl.xml"));
        link("releases/v2", dir.filePath("app/current"));
        path = osplConfigPath(dir.filePath("app/current"), "SYS");
    } else if (problem == "long") {
        QString root = dir.path();
        while (root.size() < 300)
            root += '/' + QString(49, QLatin1Char('d')); // each name within the 255 characters one may have
        path = real = osplConfigPath(QDir::toNativeSeparators(root), "SYS");
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    } else if (problem == "planted") {
        // nobody owns the folder and links its file to one only root may read.
        QVERIFY(QDir(dir.path()).mkpath("cc"));
        QCOMPARE(::chown(QFile::encodeName(dir.filePath("cc")).constData(), 65534, 65534), 0);
        real = dir.filePath("secret.xml");
        path = dir.filePath("cc/ospl.xml");
        link("../secret.xml", path);
        QCOMPARE(::lchown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    }
    if (problem != "missing")
        writeBytes(real, before);
    if (problem.startsWith("readonly"))
        ::chmod(QFile::encodeName(path).constData(), 0444);
    if (problem == "nobody-unreadable" || problem == "planted")
        ::chmod(QFile::encodeName(real).constData(), 0600);

    debugCapture capture;
    outcome::code r;
    QString reason;
    {
        std::unique_ptr<asNobody> user(asRoot || problem == "long" ? nullptr : new asNobody);
        if (problem.startsWith("nobody"))
            QVERIFY(user->active());
        const outcome updated = updateOsplConfig(path, address, delve);
        r = updated.what();
        reason = updated.reason();
    }
    QCOMPARE(r, result);
    if (problem == "missing") {
        QVERIFY(!QFile::exists(path));
        QVERIFY(capture.texts().contains("Can't open QoS file for reading"));
    } else if (result == outcome::done) {
        QByteArray after;
        QCOMPARE(rewriteOsplConfig(before, address, delve, &after).what(), outcome::done);
        QCOMPARE(readBytes(real), after);
        QCOMPARE(QFileInfo(real).dir().entryList(QDir::Files | QDir::Hidden), QStringList{"ospl.xml"});
        if (problem == "release")
            QCOMPARE(readBytes(dir.filePath("shared/ospl.xml")), before);
    } else {
        QCOMPARE(readBytes(real), before);
        QCOMPARE(QFileInfo(real).dir().entryList(QDir::Files | QDir::Hidden).size(), 1);
    }
    if (problem == "planted")
        QVERIFY2(reason.contains("is owned by nobody, but what it points to is owned by root, so it is not followed"),
                 qPrintable(reason));
}

QTEST_GUILESS_MAIN(tst_osplConfig)
#include "tst_osplConfig.moc"
