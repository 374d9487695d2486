#include "adaptorRows.h"
#include "commandLine.h"
#include "runReport.h"
#include "systemText.h"
#include "testSupport.h"

using flags = QNetworkInterface::InterfaceFlags;
Q_DECLARE_METATYPE(QList<interfaceInfo>)
Q_DECLARE_METATYPE(std::vector<QStringList>)

namespace {

const flags usable = QNetworkInterface::IsUp | QNetworkInterface::IsRunning | QNetworkInterface::CanMulticast;

interfaceInfo iface(const QString& name, flags f, const QStringList& addresses, const QString& human = QString())
{
    interfaceInfo i{name, human.isEmpty() ? name : human, f, {}};
    for (const QString& a : addresses)
        i.addresses << QHostAddress(a);
    return i;
}

std::vector<QStringList> texts(const std::vector<adaptorRow>& rows)
{
    std::vector<QStringList> out;
    for (const adaptorRow& r : rows)
        out.push_back({r.dest.displayName, r.dest.address, r.dest.adaptorId});
    return out;
}

} // namespace

class tst_run : public QObject
{
    Q_OBJECT

private slots:
    void rows_data();
    void rows();
    void selectionAgreesWithValidity_data();
    void selectionAgreesWithValidity();
    void debugLinesCarryContext();
    void selectRules_data();
    void selectRules();
    void statusLines_data();
    void statusLines();
    void systemText_data();
    void systemText();
    void switches_data();
    void switches();
};

void tst_run::rows_data()
{
    QTest::addColumn<QList<interfaceInfo>>("interfaces");
    QTest::addColumn<std::vector<QStringList>>("expected");
    QTest::addColumn<QStringList>("debug");

    QTest::newRow("no interfaces") << QList<interfaceInfo>{} << std::vector<QStringList>{} << QStringList{};
    QTest::newRow("one usable IPv4") << QList<interfaceInfo>{iface("eth0", usable, {"192.0.2.1"}, "Ethernet")}
                                     << std::vector<QStringList>{{"Ethernet", "192.0.2.1", "eth0"}} << QStringList{};
    QTest::newRow("cannot multicast") << QList<interfaceInfo>{iface(
        "vb", usable & ~flags(QNetworkInterface::CanMulticast), {"192.0.2.1"})}
                                      << std::vector<QStringList>{}
                                      << QStringList{"\"vb\" : interface can't multicast!"};
    QTest::newRow("not running") << QList<interfaceInfo>{iface("vb", usable & ~flags(QNetworkInterface::IsRunning),
                                                               {"192.0.2.1"})}
                                 << std::vector<QStringList>{} << QStringList{"\"vb\" : interface can't multicast!"};
    QTest::newRow("down") << QList<interfaceInfo>{iface("vb", usable & ~flags(QNetworkInterface::IsUp), {"192.0.2.1"})}
                          << std::vector<QStringList>{} << QStringList{"\"vb\" : interface can't multicast!"};
    QTest::newRow("rejected by human-readable name")
        << QList<interfaceInfo>{iface("{GUID}", flags(), {"192.0.2.1"}, "Local Area Connection")}
        << std::vector<QStringList>{} << QStringList{"\"Local Area Connection\" : interface can't multicast!"};
    QTest::newRow("IPv6 and IPv4 mixed, IPv6 skipped silently")
        << QList<interfaceInfo>{iface("eth0", usable, {"fe80::1", "192.0.2.1", "2001:db8::5", "192.0.2.2"})}
        << std::vector<QStringList>{{"eth0", "192.0.2.1", "eth0"}, {"eth0", "192.0.2.2", "eth0"}} << QStringList{};
    QTest::newRow("IPv6 only gives nothing, silently")
        << QList<interfaceInfo>{iface("eth0", usable, {"fe80::1"})} << std::vector<QStringList>{} << QStringList{};
    QTest::newRow("interface order then address order, rejects in between")
        << QList<interfaceInfo>{iface("b", usable, {"198.51.100.2", "198.51.100.1"}),
                                iface("lo", flags(QNetworkInterface::IsUp), {"127.0.0.1"}),
                                iface("a", usable, {"203.0.113.9"})}
        << std::vector<QStringList>{{"b", "198.51.100.2", "b"}, {"b", "198.51.100.1", "b"}, {"a", "203.0.113.9", "a"}}
        << QStringList{"\"lo\" : interface can't multicast!"};
}

void tst_run::rows()
{
    QFETCH(QList<interfaceInfo>, interfaces);
    QFETCH(std::vector<QStringList>, expected);
    QFETCH(QStringList, debug);
    debugCapture capture;
    const std::vector<adaptorRow> rows = adaptorRows(interfaces, QString(), QString());
    QCOMPARE(texts(rows), expected);
    QCOMPARE(capture.texts(), debug);
}

void tst_run::selectionAgreesWithValidity_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("adaptor");
    QTest::addColumn<int>("selectedRow"); // -1: none

    QTest::newRow("first address of first interface") << "192.0.2.1"
                                                      << "eth0" << 0;
    QTest::newRow("second address of an interface") << "192.0.2.2"
                                                    << "eth0" << 1;
    QTest::newRow("address listed under another adaptor") << "192.0.2.1"
                                                          << "eth1" << -1;
    QTest::newRow("address on a rejected interface") << "198.51.100.7"
                                                     << "wlan0" << -1;
    QTest::newRow("adaptor ID differs in case") << "192.0.2.1"
                                                << "ETH0" << -1;
    QTest::newRow("empty stored values") << ""
                                         << "" << -1;
    QTest::newRow("address only") << "192.0.2.1"
                                  << "" << -1;
}

void tst_run::selectionAgreesWithValidity()
{
    QFETCH(QString, address);
    QFETCH(QString, adaptor);
    QFETCH(int, selectedRow);
    const QList<interfaceInfo> interfaces{iface("eth0", usable, {"192.0.2.1", "192.0.2.2"}),
                                          iface("eth1", usable, {"192.0.2.9"}),
                                          iface("wlan0", flags(QNetworkInterface::IsUp), {"198.51.100.7"})};
    debugCapture capture;
    const std::vector<adaptorRow> rows = adaptorRows(interfaces, address, adaptor);
    std::list<networkDest> dests;
    int selected = -1;
    for (size_t i = 0; i < rows.size(); ++i) {
        dests.push_back(rows[i].dest);
        if (rows[i].selected) {
            QCOMPARE(selected, -1); // never more than one for distinct rows
            selected = int(i);
        }
    }
    QCOMPARE(selected, selectedRow);
    QCOMPARE(isListed(dests, address, adaptor), selectedRow >= 0);
    const QString verdict = selectedRow >= 0 ? "nicChooser::isValid: valid" : "nicChooser::isValid: NOT valid";
    QCOMPARE(
        capture.texts().mid(capture.texts().size() - 2),
        (QStringList{QStringLiteral("nicChooser::isValid: checking validity:  \"%1\"   \"%2\"").arg(address, adaptor),
                     verdict}));
}

void tst_run::debugLinesCarryContext()
{
    debugCapture capture;
    adaptorRows({iface("vb", flags(), {})}, QString(), QString());
    QCOMPARE(capture.lines().size(), size_t(1));
    const debugCapture::line& l = capture.lines().front();
    QVERIFY2(l.file.endsWith("adaptorRows.cpp"), qPrintable(l.file));
    QVERIFY(l.lineNumber > 0);
    QVERIFY2(l.function.contains("adaptorRows"), qPrintable(l.function));
}

void tst_run::selectRules_data()
{
    QTest::addColumn<QString>("rule");
    QTest::addColumn<QString>("matches"); // row indexes, or "malformed"
    // Rows: eth0 192.0.2.1, eth0 192.0.2.2, eth1 192.0.2.9, eth2 198.51.100.7
    QTest::newRow("address") << "192.0.2.9"
                             << "2";
    QTest::newRow("address of no row") << "10.9.9.9"
                                       << "";
    QTest::newRow("prefix /24") << "192.0.2.0/24"
                                << "0 1 2";
    QTest::newRow("prefix /29 takes 8 to 15") << "192.0.2.8/29"
                                              << "2";
    QTest::newRow("prefix /32") << "192.0.2.2/32"
                                << "1";
    QTest::newRow("prefix /0 takes all") << "0.0.0.0/0"
                                         << "0 1 2 3";
    QTest::newRow("host bits in a prefix are ignored") << "192.0.2.77/24"
                                                       << "0 1 2";
    QTest::newRow("adaptor ID") << "eth1"
                                << "2";
    QTest::newRow("adaptor ID with two rows") << "eth0"
                                              << "0 1";
    QTest::newRow("adaptor IDs are case-sensitive") << "ETH1"
                                                    << "";
    QTest::newRow("empty") << ""
                           << "malformed";
    QTest::newRow("octet above 255") << "192.0.2.256"
                                     << "malformed";
    QTest::newRow("three octets") << "192.0.2"
                                  << "malformed";
    QTest::newRow("five octets") << "1.2.3.4.5"
                                 << "malformed";
    QTest::newRow("leading zero, octal to some") << "192.0.2.010"
                                                 << "malformed";
    QTest::newRow("prefix length 33") << "192.0.2.0/33"
                                      << "malformed";
    QTest::newRow("prefix without length") << "192.0.2.0/"
                                           << "malformed";
    QTest::newRow("slash after a name") << "eth0/1"
                                        << "malformed";
    QTest::newRow("blank in a name") << "eth 0"
                                     << "malformed";
}

void tst_run::selectRules()
{
    QFETCH(QString, rule);
    QFETCH(QString, matches);
    std::list<networkDest> rows;
    for (const adaptorRow& r :
         adaptorRows({iface("eth0", usable, {"192.0.2.1", "192.0.2.2"}), iface("eth1", usable, {"192.0.2.9"}),
                      iface("eth2", usable, {"198.51.100.7"})},
                     QString(), QString()))
        rows.push_back(r.dest);
    const selectRule parsed = parseSelectRule(rule);
    if (matches == "malformed") {
        QCOMPARE(parsed.type, selectRule::malformed);
        QVERIFY(!parsed.problem.isEmpty());
        QVERIFY(matchingRows(rows, parsed).empty());
        return;
    }
    QVERIFY2(parsed.type != selectRule::malformed, qPrintable(parsed.problem));
    QStringList got;
    for (int i : matchingRows(rows, parsed))
        got << QString::number(i);
    QCOMPARE(got.join(' '), matches);
}

// What the line under the table says when a rule was given or nothing is listed.
void tst_run::statusLines_data()
{
    QTest::addColumn<QString>("rule"); // null: no /select
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("matches");
    QTest::addColumn<QString>("status");
    const QString stored = "Stored: 192.0.2.1 on eth0.";
    QTest::newRow("rule chose a row") << "eth1" << 3 << 1 << stored + " /select=eth1 chose the highlighted row.";
    QTest::newRow("rule matches none") << "10.9.0.0/16" << 3 << 0 << stored + " /select=10.9.0.0/16 matches no row.";
    QTest::newRow("rule matches several") << "eth0" << 3 << 2 << stored + " /select=eth0 matches 2 rows; choose one.";
    QTest::newRow("malformed rule") << "1.2.3.256" << 3 << 0
                                    << stored
                                           + " /select=1.2.3.256 is not usable: an address is written as four numbers "
                                             "from 0 to 255, such as 10.20.0.7.";
    // The rule comes from the command line: it is shown on one line.
    QTest::newRow("rule holding control characters")
        << "a\x1b[2J\nb" << 3 << 0
        << stored + " /select=a\\x1b[2J\\nb is not usable: an adaptor ID holds no blanks or control characters.";
    QTest::newRow("empty table") << QString() << 0 << 0
                                 << "Stored: 192.0.2.1 on eth0, not on this machine. No interface is up, running and "
                                    "able to multicast; Help explains why.";
}

void tst_run::statusLines()
{
    QFETCH(QString, rule);
    QFETCH(int, rows);
    QFETCH(int, matches);
    QFETCH(QString, status);
    const selectRule parsed = parseSelectRule(rule);
    QCOMPARE(statusLine("192.0.2.1", "eth0", rows > 0, rows, rule.isNull() ? nullptr : &parsed, matches), status);
}

void tst_run::switches_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected"); // ospl silent list, /select count and rule, then "?" and what is no switch
    QTest::newRow("none") << QStringList{"/usr/bin/nicChooser"} << "- - - 0";
    QTest::newRow("/ospl") << QStringList{"prog", "/ospl"} << "ospl - - 0";
    QTest::newRow("/osplx counts") << QStringList{"prog", "/osplx"} << "ospl - - 0";
    QTest::newRow("/OSPL is not the switch")
        << QStringList{"prog", "/OSPL", "/SILENT", "/LIST"} << "- - - 0 ? /OSPL /SILENT /LIST";
    QTest::newRow("/silentfoo counts") << QStringList{"prog", "/silentfoo"} << "- silent - 0";
    QTest::newRow("both") << QStringList{"prog", "/silent", "/ospl"} << "ospl silent - 0";
    QTest::newRow("ospl match is never tested for silent") << QStringList{"prog", "/ospl/silent"} << "ospl - - 0";
    // Some Windows callers give the switches in the program's place; no file is named so, so it counts.
    QTest::newRow("a switch in the program's place") << QStringList{"/silent/bin/nicChooser"} << "- silent - 0";
    // Installed (or cloned) below a folder named like a switch: the path is the program's, no switch.
    for (const char* folder : {"/check", "/silent", "/ospl", "/list", "/select=10.0.0.0"})
        QTest::newRow(qPrintable(QStringLiteral("the program's own path below %1").arg(folder)))
            << QStringList{QStringLiteral("@%1").arg(folder)} << "- - - 0";
    QTest::newRow("no leading slash") << QStringList{"prog", "ospl", "-silent", "list", "select=x"}
                                      << "- - - 0 ? ospl -silent list select=x";
    QTest::newRow("/list") << QStringList{"prog", "/list"} << "- - list 0";
    QTest::newRow("/check") << QStringList{"prog", "/check", "/ospl"} << "ospl - - 0 check";
    QTest::newRow("/select with a rule") << QStringList{"prog", "/select=10.0.0.0/8"} << "- - - 1 10.0.0.0/8";
    QTest::newRow("rule after the first =") << QStringList{"prog", "/select=a=b"} << "- - - 1 a=b";
    QTest::newRow("/select without =") << QStringList{"prog", "/select"} << "- - - 1 (null)";
    QTest::newRow("/silent=... is /silent, not a rule") << QStringList{"prog", "/silent=eth0"} << "- silent - 0";
    QTest::newRow("two /select") << QStringList{"prog", "/select=a", "/select=b"} << "- - - 2 b";
    // The program path is no argument of the operator's, whatever it is.
    QTest::newRow("misspelt switches named, the program path not")
        << QStringList{"/opt/x/nicChooser", "/silent", "/selct=10.77.4.1", "/Silent", "-h", "/?"}
        << "- silent - 0 ? /selct=10.77.4.1 /Silent -h /?";
}

void tst_run::switches()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    // "@/folder": a real program file in a new folder of / whose name begins so.
    std::unique_ptr<QTemporaryDir> folder;
    if (arguments.first().startsWith('@')) {
        folder.reset(new QTemporaryDir(arguments.first().mid(1) + "-nicChooser-XXXXXX"));
        NC_REQUIRE(folder->isValid(), "a folder in / to install a program in (run as root)");
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), folder->filePath("nicChooser")));
        arguments.first() = folder->filePath("nicChooser");
    }
    const commandSwitches s = scanSwitches(arguments);
    QString got = QStringLiteral("%1 %2 %3 %4")
                      .arg(s.ospl ? "ospl" : "-", s.silent ? "silent" : "-", s.list ? "list" : "-")
                      .arg(s.selects);
    if (s.selects)
        got += ' ' + (s.rule.isNull() ? QString("(null)") : s.rule);
    if (s.check)
        got += " check";
    if (!s.unknown.isEmpty())
        got += " ? " + s.unknown.join(' ');
    QCOMPARE(got, expected);
    // Named on one line, whatever they hold.
    const QString named = unknownArguments(s.unknown);
    QCOMPARE(named.isEmpty(), s.unknown.isEmpty());
    if (!named.isEmpty())
        QCOMPARE(named, "not a switch, so ignored: " + s.unknown.join(' ')
                            + " (the switches are /ospl, /silent, /list, /check and /select=RULE)");
}

QTEST_GUILESS_MAIN(tst_run)
#include "tst_run.moc"

// The system's bytes as text and back, and that text on one line: every
// name a line shows turns back into the very bytes it came from, and none
// can break a line, forge one or turn the line's direction around.
void tst_run::systemText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");    // what textFromSystem makes of them
    QTest::addColumn<QString>("shown");   // oneLine of that
    QTest::newRow("ASCII") << QByteArray("eth0") << QString("eth0") << QString("eth0");
    QTest::newRow("UTF-8, two and four bytes") << QByteArray("n\xC3\xA9 \xF0\x9F\x98\x80")
                                                << QString::fromUtf8("n\xC3\xA9 \xF0\x9F\x98\x80")
                                                << QString::fromUtf8("n\xC3\xA9 \xF0\x9F\x98\x80");
    QTest::newRow("a byte that is no UTF-8 kept as itself") << QByteArray("x\xFF" "y") << QString("x") + QChar(0xDCFF) + "y"
                                                          << QString("x") + QChar(0xDCFF) + "y";
    // "/" written in two bytes: taken as those two bytes, never as the separator.
    QTest::newRow("an overlong sequence is no character") << QByteArray("a\xC0\xAF" "b")
                                                          << QString("a") + QChar(0xDCC0) + QChar(0xDCAF) + "b"
                                                          << QString("a") + QChar(0xDCC0) + QChar(0xDCAF) + "b";
    QTest::newRow("an overlong three-byte sequence is no character")
        << QByteArray("\xE0\x80\xAF") << QString(QChar(0xDCE0)) + QChar(0xDC80) + QChar(0xDCAF)
        << QString(QChar(0xDCE0)) + "\\x80" + QChar(0xDCAF);
    QTest::newRow("an encoded surrogate is no character")
        << QByteArray("\xED\xA0\x80") << QString(QChar(0xDCED)) + QChar(0xDCA0) + QChar(0xDC80)
        << QString(QChar(0xDCED)) + QChar(0xDCA0) + "\\x80";
    QTest::newRow("line breaks and tabs escaped") << QByteArray("a\nb\rc\td") << QString("a\nb\rc\td")
                                                  << QString("a\\nb\\rc\\td");
    QTest::newRow("other C0 controls and DEL escaped")
        << QByteArray("a\x01" "b\x1B" "[2Jc\x7F") << QString("a\x01" "b\x1B" "[2Jc\x7F")
        << QString("a\\x01b\\x1b[2Jc\\x7f");
    QTest::newRow("C1 controls escaped, as UTF-8 and as lone bytes")
        << QByteArray("a\xC2\x85" "b\x9B" "c") << QString("a") + QChar(0x85) + "b" + QChar(0xDC9B) + "c"
        << QString("a\\u0085b\\x9bc");
    QTest::newRow("line and paragraph separators escaped")
        << QByteArray("a\xE2\x80\xA8" "b\xE2\x80\xA9" "c") << QString("a") + QChar(0x2028) + "b" + QChar(0x2029) + "c"
        << QString("a\\u2028b\\u2029c");
    QTest::newRow("bidirectional controls escaped")
        << QByteArray("eth\xE2\x80\xAE" "0\xE2\x81\xA6\xE2\x80\x8F")
        << QString("eth") + QChar(0x202E) + "0" + QChar(0x2066) + QChar(0x200F) << QString("eth\\u202e0\\u2066\\u200f");
}

void tst_run::systemText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(textFromSystem(bytes), text);
    QCOMPARE(systemBytes(text), bytes);
    QCOMPARE(oneLine(text), shown);
}
