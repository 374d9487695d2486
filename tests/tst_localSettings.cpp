#include "editChecks.h"
#include "fileReplace.h"
#include "installPaths.h"
#include "systemText.h"
#include "localSettings.h"
#include "testSupport.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QVector>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/stat.h>
#ifdef Q_OS_WIN
#include <windows.h>
// (after windows.h)
#include <sddl.h>
// (after windows.h)
#include "windowsCalls.h"
#endif
#include <unistd.h>

namespace {

#ifdef Q_OS_WIN
// Rows where this program reads otherwise than the platform's GetPrivateProfileStringA, on purpose, and why.
QString departureFromPlatform(const QByteArray& row)
{
    static const QHash<QByteArray, QString> reasons{
        {"cut never splits a character", "the platform cuts at 255 bytes, through a UTF-8 character"},
        {"nothing read after an end-of-file byte", "Wine's profile functions read past a DOS end-of-file byte"},
        {"replace before an end-of-file byte, what follows kept",
         "Wine's profile functions read past a DOS end-of-file byte"},
        {"UTF-16 value beyond Latin-1", "the 8-bit function gives '?' for what the ANSI code page lacks"},
        {"UTF-16 with an odd byte count reads nothing",
         "the platform reads a torn UTF-16 file; this program refuses it"},
        {"UTF-16 with an unpaired surrogate reads nothing",
         "the platform reads a UTF-16 file that cannot be written back; this program refuses it"},
    };
    return reasons.value(row);
}
#endif

// On Windows, what the platform's own GetPrivateProfileStringA reads from the same file (a 256-byte buffer, as the
// profile functions are used) must be what this program read, as UTF-8 bytes, except on the rows above, where it must
// differ; elsewhere there is nothing to compare with.
void comparePlatformRead(const QString& path, const QString& key, const QString& read)
{
#ifdef Q_OS_WIN
    char value[256] = {};
    GetPrivateProfileStringA("xDS", key.toLatin1().constData(), "", value, sizeof value,
                             QDir::toNativeSeparators(path).toLocal8Bit().constData());
    const QByteArray platform(value);
    const QString departure = departureFromPlatform(QTest::currentDataTag());
    const QString shown = QString::fromLatin1(platform.toPercentEncoding(" ;=\"'"));
    if (departure.isEmpty())
        QVERIFY2(platform == read.toUtf8(), qPrintable("GetPrivateProfileStringA read \"" + shown + '"'));
    else
        QVERIFY2(platform != read.toUtf8(), qPrintable("GetPrivateProfileStringA agrees now, yet: " + departure));
#else
    Q_UNUSED(path);
    Q_UNUSED(key);
    Q_UNUSED(read);
#endif
}

// text as the bytes of a UTF-16 file with its byte-order mark
QByteArray utf16le(const QString& text)
{
    QByteArray out("\xFF\xFE");
    for (const QChar c : text)
        out += char(c.unicode() & 0xFF) + QByteArray(1, char(c.unicode() >> 8));
    return out;
}

QByteArray utf16be(const QString& text)
{
    QByteArray out("\xFE\xFF");
    for (const QChar c : text)
        out += char(c.unicode() >> 8) + QByteArray(1, char(c.unicode() & 0xFF));
    return out;
}

// text as the bytes of a UTF-32 file with its byte-order mark
QByteArray utf32(const QString& text, bool little)
{
    QByteArray out;
    for (const uint c : QVector<uint>{0xFEFF} + text.toUcs4()) {
        char b[4] = {char(c >> 24), char(c >> 16), char(c >> 8), char(c)};
        if (little)
            std::reverse(b, b + 4);
        out.append(b, 4);
    }
    return out;
}

} // namespace

class tst_localSettings : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void write_data();
    void write();
    void fileCases_data();
    void fileCases();
    void newFileAndTwoWrites();
    void randomFilesChangeOnlyTheKeyLine();
    void refused_data();
    void refused();
    void valueReadsBackAsWritten_data();
    void valueReadsBackAsWritten();

private:
    QString tempPath(const QString& name);
    QTemporaryDir dir;
};

QString tst_localSettings::tempPath(const QString& name)
{
    return dir.filePath(name);
}

void tst_localSettings::read_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    const QByteArray a300(300, 'a');
    QTest::newRow("plain crlf") << QByteArray("[xDS]\r\nbindAddress=10.0.0.1\r\n") << "bindAddress"
                                << "10.0.0.1";
    QTest::newRow("names ignore case") << QByteArray("[XDS]\nBINDADDRESS=1.2.3.4\n") << "bindAddress"
                                       << "1.2.3.4";
    QTest::newRow("first section wins") << QByteArray("[xDS]\nA=1\n[xds]\nbindAddress=2\n") << "bindAddress"
                                        << "";
    QTest::newRow("first key wins") << QByteArray("[xDS]\nk=1\nK=2\n") << "k"
                                    << "1";
    QTest::newRow("blanks around everything")
        << QByteArray(" \t[ xDS ]\t \n\t bindAddress \t=\t 1.2.3.4 \t\n") << "bindAddress"
        << "1.2.3.4";
    QTest::newRow("double quotes unwrapped") << QByteArray("[xDS]\nk=\"  a b  \"\n") << "k"
                                             << "  a b  ";
    QTest::newRow("single quotes unwrapped") << QByteArray("[xDS]\nk='x'\n") << "k"
                                             << "x";
    QTest::newRow("mismatched quotes kept") << QByteArray("[xDS]\nk=\"x'\n") << "k"
                                            << "\"x'";
    QTest::newRow("lone quote kept") << QByteArray("[xDS]\nk=\"\n") << "k"
                                     << "\"";
    QTest::newRow("comment line") << QByteArray("[xDS]\n;k=1\n  ;k=2\n") << "k"
                                  << "";
    QTest::newRow("semicolon inside value") << QByteArray("[xDS]\nk=a;b ; c\n") << "k"
                                            << "a;b ; c";
    QTest::newRow("text after the header's only bracket") << QByteArray("[xDS] ; note\nk=1\n") << "k"
                                                          << "1";
    QTest::newRow("header ends at its last bracket") << QByteArray("[xDS] ; see [notes]\nk=1\n[xDS]\nk=2\n") << "k"
                                                     << "2";
    QTest::newRow("bracket without close is no header") << QByteArray("[xDS\nk=1\n") << "k"
                                                        << "";
    QTest::newRow("lone CR line ends") << QByteArray("[xDS]\rk=1\rj=2") << "j"
                                       << "2";
    QTest::newRow("mixed line ends") << QByteArray("[a]\r\nk=0\n[xDS]\rk=1\r\n") << "k"
                                     << "1";
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF[xDS]\nk=1\n") << "k"
                                     << "1";
    QTest::newRow("key in another section") << QByteArray("[other]\nk=1\n[xDS]\n") << "k"
                                            << "";
    QTest::newRow("key before any section") << QByteArray("k=1\n[xDS]\n") << "k"
                                            << "";
    QTest::newRow("missing key") << QByteArray("[xDS]\nother=1\n") << "k"
                                 << "";
    QTest::newRow("empty file") << QByteArray() << "k"
                                << "";
    QTest::newRow("key without equals") << QByteArray("[xDS]\nk\n") << "k"
                                        << "";
    QTest::newRow("empty value") << QByteArray("[xDS]\nk=\n") << "k"
                                 << "";
    QTest::newRow("long value cut to 255 bytes") << QByteArray("[xDS]\nk=" + a300 + "\n") << "k" << QString(255, 'a');
    QTest::newRow("cut never splits a character")
        << QByteArray("[xDS]\nk=" + QByteArray(254, 'a') + "\xC3\xBC\n") << "k" << QString(254, 'a');
    QTest::newRow("UTF-8 value") << QByteArray("[xDS]\nAdaptor=Ethernet \xC3\xBC\n") << "Adaptor"
                                 << QString::fromUtf8("Ethernet \xC3\xBC");
    QTest::newRow("equals inside value") << QByteArray("[xDS]\nk=a=b\n") << "k"
                                         << "a=b";
    QTest::newRow("quotes inside quotes") << QByteArray("[xDS]\nk=\"'q'\"\n") << "k"
                                          << "'q'";
    QTest::newRow("vertical tab and form feed are blanks") << QByteArray("[xDS]\nk=\v1\f\n") << "k"
                                                           << "1";
    QTest::newRow("CR CR LF is one line end") << QByteArray("[xDS]\r\r\nk=1\r\r\n") << "k"
                                              << "1";
    QTest::newRow("end-of-file byte ends the value") << QByteArray("[xDS]\r\nk=1\x1A\r\n") << "k"
                                                     << "1";
    QTest::newRow("nothing read after an end-of-file byte") << QByteArray("[xDS]\r\n\x1Ak=1\r\n") << "k"
                                                            << "";
    QTest::newRow("UTF-16LE with mark") << utf16le("[xDS]\r\nk=1\r\n") << "k"
                                        << "1";
    QTest::newRow("UTF-16BE with mark") << utf16be("[xDS]\r\nk=1\r\n") << "k"
                                        << "1";
    QTest::newRow("UTF-16 value beyond Latin-1")
        << utf16le(QString::fromUtf8("[xDS]\r\nAdaptor=n\xC3\xA9t \xF0\x9F\x98\x80\r\n")) << "Adaptor"
        << QString::fromUtf8("n\xC3\xA9t \xF0\x9F\x98\x80");
    QTest::newRow("UTF-16 with an odd byte count reads nothing") << utf16le("[xDS]\r\nk=1\r\n") + 'x' << "k"
                                                                 << "";
    QTest::newRow("UTF-16 with an unpaired surrogate reads nothing")
        << utf16le(QStringLiteral("[xDS]\r\nk=1\r\n") + QChar(0xD800)) << "k"
        << "";
}

void tst_localSettings::read()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    const QString path = tempPath("read.ini");
    writeBytes(path, text);
    QCOMPARE(readSetting(path, key), expected);
    comparePlatformRead(path, key, expected);
}

void tst_localSettings::write_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("replace in crlf file")
        << QByteArray("[a]\r\nx=1\r\n[xDS]\r\nbindAddress=old\r\nAdaptor=eth0\r\n") << "bindAddress"
        << "10.1.1.1" << QByteArray("[a]\r\nx=1\r\n[xDS]\r\nbindAddress=10.1.1.1\r\nAdaptor=eth0\r\n");
    // Holding the value already, in whatever spelling, is holding it.
    QTest::newRow("value already there, spelled otherwise: untouched")
        << QByteArray("[xds]\n  BINDADDRESS = \"10.1.1.1\"\nz=1\n") << "bindAddress"
        << "10.1.1.1" << QByteArray("[xds]\n  BINDADDRESS = \"10.1.1.1\"\nz=1\n");
    QTest::newRow("replace a line spelled in other case, blanks and quotes")
        << QByteArray("[XDS]\n  BINDADDRESS = \"old\"\nz=1\n") << "bindAddress"
        << "10.1.1.1" << QByteArray("[XDS]\nbindAddress=10.1.1.1\nz=1\n");
    QTest::newRow("replace in first of two sections") << QByteArray("[xDS]\nk=1\n[xDS]\nk=2\n") << "k"
                                                      << "3" << QByteArray("[xDS]\nk=3\n[xDS]\nk=2\n");
    QTest::newRow("append after section's last non-blank line")
        << QByteArray("[xDS]\nA=1\n; note\n\n\n[b]\nc=2\n") << "bindAddress"
        << "v" << QByteArray("[xDS]\nA=1\n; note\nbindAddress=v\n\n\n[b]\nc=2\n");
    QTest::newRow("append to header-only section at end without newline") << QByteArray("[a]\r\n[xDS]") << "k"
                                                                          << "v" << QByteArray("[a]\r\n[xDS]\r\nk=v");
    QTest::newRow("append after last line without newline") << QByteArray("[xDS]\nA=1") << "k"
                                                            << "v" << QByteArray("[xDS]\nA=1\nk=v");
    QTest::newRow("new section at end of lf file") << QByteArray("[a]\nx=1\n") << "k"
                                                   << "v" << QByteArray("[a]\nx=1\n[xDS]\nk=v\n");
    QTest::newRow("new section keeps missing final newline") << QByteArray("[a]\nx=1") << "k"
                                                             << "v" << QByteArray("[a]\nx=1\n[xDS]\nk=v");
    QTest::newRow("new section in crlf file") << QByteArray("[a]\r\nx=1\r\n") << "k"
                                              << "v" << QByteArray("[a]\r\nx=1\r\n[xDS]\r\nk=v\r\n");
    QTest::newRow("new section in lone-CR file") << QByteArray("[a]\rx=1\r") << "k"
                                                 << "v" << QByteArray("[a]\rx=1\r[xDS]\rk=v\r");
    QTest::newRow("empty file") << QByteArray() << "k"
                                << "v" << QByteArray("[xDS]\r\nk=v\r\n");
    QTest::newRow("byte-order mark kept on replace") << QByteArray("\xEF\xBB\xBF[xDS]\r\nk=a\r\n") << "k"
                                                     << "b" << QByteArray("\xEF\xBB\xBF[xDS]\r\nk=b\r\n");
    QTest::newRow("byte-order mark only") << QByteArray("\xEF\xBB\xBF") << "k"
                                          << "v" << QByteArray("\xEF\xBB\xBF[xDS]\r\nk=v\r\n");
    QTest::newRow("bracket line without close is not our section") << QByteArray("[xDS\nk=1\n") << "k"
                                                                   << "2" << QByteArray("[xDS\nk=1\n[xDS]\nk=2\n");
    QTest::newRow("comment that looks like the key is left alone") << QByteArray("[xDS]\n;k=1\n") << "k"
                                                                   << "2" << QByteArray("[xDS]\n;k=1\nk=2\n");
    QTest::newRow("non-ASCII value written as UTF-8")
        << QByteArray("[xDS]\n") << "Adaptor" << QString::fromUtf8("Ethernet \xC3\xBC")
        << QByteArray("[xDS]\nAdaptor=Ethernet \xC3\xBC\n");
    QTest::newRow("value in quotes is wrapped in double quotes") << QByteArray("[xDS]\n") << "Adaptor"
                                                                 << "'q'" << QByteArray("[xDS]\nAdaptor=\"'q'\"\n");
    QTest::newRow("value in double quotes is wrapped again") << QByteArray("[xDS]\nAdaptor=x\n") << "Adaptor"
                                                             << "\"q\"" << QByteArray("[xDS]\nAdaptor=\"\"q\"\"\n");
    QTest::newRow("value with blanks at its ends is wrapped") << QByteArray("[xDS]\n") << "Adaptor"
                                                              << " a\t" << QByteArray("[xDS]\nAdaptor=\" a\t\"\n");
    QTest::newRow("lone quote is not wrapped") << QByteArray("[xDS]\n") << "Adaptor"
                                               << "\"" << QByteArray("[xDS]\nAdaptor=\"\n");
    QTest::newRow("new key ends as the line it follows, not as the first line")
        << QByteArray("[a]\rx=1\n[xDS]\nA=1\n[b]\n") << "k"
        << "v" << QByteArray("[a]\rx=1\n[xDS]\nA=1\nk=v\n[b]\n");
    QTest::newRow("new key after a lone CR line end") << QByteArray("[xDS]\rA=1\r[b]\n") << "k"
                                                      << "v" << QByteArray("[xDS]\rA=1\rk=v\r[b]\n");
    QTest::newRow("new key after CR CR LF") << QByteArray("[xDS]\r\r\nA=1\r\r\n") << "k"
                                            << "v" << QByteArray("[xDS]\r\r\nA=1\r\r\nk=v\r\r\n");
    QTest::newRow("after a last line without ending, the nearest earlier ending")
        << QByteArray("[a]\nx=1\r\ny=2") << "k"
        << "v" << QByteArray("[a]\nx=1\r\ny=2\r\n[xDS]\r\nk=v");
    QTest::newRow("new section before an end-of-file byte") << QByteArray("[a]\r\nx=1\r\n\x1A") << "k"
                                                            << "v" << QByteArray("[a]\r\nx=1\r\n[xDS]\r\nk=v\r\n\x1A");
    QTest::newRow("new key before an end-of-file byte ending the last line")
        << QByteArray("[xDS]\nA=1\x1A\n") << "k"
        << "v" << QByteArray("[xDS]\nA=1\nk=v\x1A\n");
    QTest::newRow("replace before an end-of-file byte, what follows kept")
        << QByteArray("[xDS]\r\nk=1\x1A[junk]\r\nk=2") << "k"
        << "v" << QByteArray("[xDS]\r\nk=v\x1A[junk]\r\nk=2");
    QTest::newRow("section after an end-of-file byte is not ours")
        << QByteArray("\x1A[xDS]\r\nk=1\r\n") << "k"
        << "v" << QByteArray("[xDS]\r\nk=v\r\n\x1A[xDS]\r\nk=1\r\n");
    QTest::newRow("key in a header with brackets after it is not ours")
        << QByteArray("[xDS] ; see [notes]\r\nk=1\r\n") << "k"
        << "v" << QByteArray("[xDS] ; see [notes]\r\nk=1\r\n[xDS]\r\nk=v\r\n");
    QTest::newRow("UTF-16LE replace") << utf16le("[xDS]\r\nk=1\r\n") << "k"
                                      << "v" << utf16le("[xDS]\r\nk=v\r\n");
    QTest::newRow("UTF-16BE new section") << utf16be("[a]\r\n") << "k"
                                          << "v" << utf16be("[a]\r\n[xDS]\r\nk=v\r\n");
    QTest::newRow("UTF-16 empty but for its mark") << utf16le("") << "k"
                                                   << "v" << utf16le("[xDS]\r\nk=v\r\n");
    QTest::newRow("UTF-16 value beyond Latin-1")
        << utf16le("[xDS]\r\nAdaptor=x\r\n") << "Adaptor" << QString::fromUtf8("n\xC3\xA9t \xF0\x9F\x98\x80")
        << utf16le(QString::fromUtf8("[xDS]\r\nAdaptor=n\xC3\xA9t \xF0\x9F\x98\x80\r\n"));
    QTest::newRow("NUL bytes and garbage elsewhere survive")
        << QByteArray("\x01\x02\0\xFF\n[xDS]\nk=1\n\0tail", 20) << "k"
        << "2" << QByteArray("\x01\x02\0\xFF\n[xDS]\nk=2\n\0tail", 20);
}

void tst_localSettings::write()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    const QString path = tempPath("write.ini");
    writeBytes(path, before);
    QVERIFY(writeSetting(path, key, value));
    QCOMPARE(readBytes(path), after);
    QCOMPARE(readSetting(path, key), value);
    comparePlatformRead(path, key, value);
}

// Real-looking files, named after what they pose; the expected result sits beside each.
void tst_localSettings::fileCases_data()
{
    QTest::addColumn<QString>("name");
    for (const char* name : {"crlf.ini", "bom-no-final-newline.ini", "no-xds-section.ini", "xds-last-without-keys.ini",
                             "header-with-brackets-after.ini", "utf16le-bom.ini", "utf16be-bom.ini", "cr-then-lf.ini",
                             "cr-cr-lf.ini", "dos-eof.ini"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void tst_localSettings::fileCases()
{
    QFETCH(QString, name);
    const QString path = tempPath(name);
    writeBytes(path, testData("ini/" + name));
    QVERIFY(writeSetting(path, "bindAddress", "10.77.1.2"));
    QVERIFY(writeSetting(path, "Adaptor", "nc0"));
    QCOMPARE(readBytes(path), testData("ini/" + name + ".expected"));
}

void tst_localSettings::newFileAndTwoWrites()
{
    const QString path = tempPath("fresh.ini");
    QFile::remove(path);
    QCOMPARE(readSetting(path, "bindAddress"), QString());
    QVERIFY(writeSetting(path, "bindAddress", "10.0.0.1"));
    QVERIFY(writeSetting(path, "Adaptor", "eth0"));
    QCOMPARE(readBytes(path), QByteArray("[xDS]\r\nbindAddress=10.0.0.1\r\nAdaptor=eth0\r\n"));
    QVERIFY(writeSetting(path, "bindAddress", "10.0.0.2"));
    QVERIFY(writeSetting(path, "Adaptor", "eth1"));
    QCOMPARE(readBytes(path), QByteArray("[xDS]\r\nbindAddress=10.0.0.2\r\nAdaptor=eth1\r\n"));
}

// Many generated INI-like files, in every line ending and encoding: a write
// passes the independent edit check (only the key's line changed, or a line
// and a header added with the right ending), every other key reads as
// before, and a second write changes nothing.
void tst_localSettings::randomFilesChangeOnlyTheKeyLine()
{
    QRandomGenerator rng(20261208);
    const QList<QByteArray> eols{"\n", "\r\n", "\r", "\r\r\n"};
    const QList<QByteArray> names{"bindAddress", "BindAddress", "Adaptor", "other", "x"};
    const QList<QByteArray> sections{"xDS", "XDS", " xDS ", "net", "xDS2", "xDS] ; [net"};
    const QList<QByteArray> oddValues{"'q'", " a ", "\"x\"", "\"", "\xC3\xA9"};
    int inserted = 0;
    int replaced = 0;
    for (int round = 0; round < 3000; ++round) {
        QByteArray text = rng.bounded(5) == 0 ? QByteArray("\xEF\xBB\xBF") : QByteArray();
        const int lines = rng.bounded(12);
        for (int i = 0; i < lines; ++i) {
            switch (rng.bounded(6)) {
            case 0: text += '[' + sections[rng.bounded(sections.size())] + ']'; break;
            case 1: text += "; comment=" + QByteArray::number(i); break;
            case 2: break;
            case 3: text += " \t"; break;
            default:
                text += names[rng.bounded(names.size())] + (rng.bounded(2) ? " = " : "=")
                        + QByteArray::number(rng.generate());
            }
            if (i + 1 < lines || rng.bounded(2))
                text += eols[rng.bounded(eols.size())];
        }
        if (rng.bounded(8) == 0)
            text += "\x1A[xDS]\r\nbindAddress=tail";
        QByteArray file = text;
        switch (rng.bounded(5)) {
        case 0: file = utf16le(QString::fromUtf8(text)); break;
        case 1: file = utf16be(QString::fromUtf8(text)); break;
        default: break;
        }
        const QByteArray key = names[rng.bounded(3)];
        const QByteArray value = rng.bounded(4) == 0
                                     ? oddValues[rng.bounded(oddValues.size())]
                                     : "10." + QByteArray::number(rng.bounded(256)) + ".0." + QByteArray::number(round);
        QByteArray out;
        const outcome edited = ini::fileWithValues(file, "xDS", {{key, value}}, &out);
        QVERIFY2(edited == outcome::done, qPrintable(edited.reason()));

        const QString problem = settingsEditProblem(file, out, "xDS", key, value);
        QVERIFY2(problem.isEmpty(), qPrintable(problem + " in: " + file.toPercentEncoding()));
        const QByteArray newText = ini::decode(out).text;
        for (const QByteArray& other : names)
            if (qstricmp(other, key) != 0)
                QCOMPARE(ini::value(newText, "xDS", other), ini::value(text, "xDS", other));
        QCOMPARE(ini::value(newText, "net", "x"), ini::value(text, "net", "x"));
        QByteArray again;
        QVERIFY(ini::fileWithValues(out, "xDS", {{key, value}}, &again) == outcome::done);
        QCOMPARE(again, out); // a second write changes nothing
        (ini::value(text, "xDS", key).isNull() ? inserted : replaced)++;
    }
    QVERIFY(inserted > 100);
    QVERIFY(replaced > 100);
}

// Input the file cannot take is refused by the pure edit, with its reason;
// the rows about the file itself go through the writer, and only those
// about a user's rights run as another user.
void tst_localSettings::refused_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("setup"); // empty: the pure edit only
    QTest::addColumn<QString>("reason");

    const QByteArray plain("; keep me\r\n[xDS]\r\nbindAddress=10.0.0.1\r\n");
    const QByteArray wide = utf16le("; keep me\r\n[xDS]\r\nbindAddress=10.0.0.1\r\n");
    QTest::newRow("line feed in value") << QByteArray("bindAddress") << QByteArray("1.2.3.4\n[evil]") << plain << ""
                                        << "line break";
    QTest::newRow("carriage return in value")
        << QByteArray("bindAddress") << QByteArray("1.2.3.4\rAdaptor=x") << plain << ""
        << "line break";
    QTest::newRow("NUL in value") << QByteArray("bindAddress") << QByteArray("a\0b", 3) << plain << ""
                                  << "NUL";
    QTest::newRow("line break in key") << QByteArray("a\nb") << QByteArray("v") << plain << ""
                                       << "line break";
    QTest::newRow("end-of-file byte in value") << QByteArray("bindAddress") << QByteArray("a\x1A") << plain << ""
                                               << "end-of-file";
    QTest::newRow("end-of-file byte in key") << QByteArray("a\x1A") << QByteArray("v") << plain << ""
                                             << "end-of-file";
    QTest::newRow("equals in key") << QByteArray("a=b") << QByteArray("v") << plain << ""
                                   << "holds '='";
    QTest::newRow("key starting with bracket") << QByteArray("[xDS]") << QByteArray("v") << plain << ""
                                               << "starts with '['";
    QTest::newRow("key starting with semicolon") << QByteArray(";k") << QByteArray("v") << plain << ""
                                                 << "starts with '['";
    QTest::newRow("empty key") << QByteArray("") << QByteArray("v") << plain << ""
                               << "empty";
    QTest::newRow("key of blanks") << QByteArray(" \t") << QByteArray("v") << plain << ""
                                   << "empty";
    QTest::newRow("key with a trailing blank") << QByteArray("bindAddress ") << QByteArray("v") << plain << ""
                                               << "blank";
    QTest::newRow("key with a leading tab") << QByteArray("\tbindAddress") << QByteArray("v") << plain << ""
                                            << "blank";
    QTest::newRow("key with a trailing vertical tab") << QByteArray("bindAddress\v") << QByteArray("v") << plain << ""
                                                      << "blank";
    QTest::newRow("UTF-16 with an odd byte count") << QByteArray("bindAddress") << QByteArray("v") << wide + 'x' << ""
                                                   << "odd number";
    QTest::newRow("UTF-16LE with an unpaired surrogate")
        << QByteArray("bindAddress") << QByteArray("v") << utf16le(QStringLiteral("[a]") + QChar(0xDC00) + "\r\n") << ""
        << "unpaired surrogate (at byte 8)";
    QTest::newRow("UTF-16BE with a high surrogate at the end")
        << QByteArray("bindAddress") << QByteArray("v") << utf16be(QStringLiteral("[a]\r\n") + QChar(0xD800)) << ""
        << "unpaired surrogate (at byte 12)";
    // Without its mark, bytes edited as lines would end up among its characters.
    QTest::newRow("UTF-16LE without a byte-order mark")
        << QByteArray("bindAddress") << QByteArray("v") << utf16le("[xDS]\r\nbindAddress=1\r\n").mid(2) << ""
        << "without a byte-order mark";
    QTest::newRow("UTF-16BE without a byte-order mark")
        << QByteArray("bindAddress") << QByteArray("v") << utf16be("[xDS]\r\nbindAddress=1\r\n").mid(2) << ""
        << "without a byte-order mark";
    QTest::newRow("UTF-32LE, whose mark starts as UTF-16LE's")
        << QByteArray("bindAddress") << QByteArray("v") << utf32("[xDS]\r\nbindAddress=1\r\n", true) << ""
        << "UTF-32";
    QTest::newRow("UTF-32BE") << QByteArray("bindAddress") << QByteArray("v")
                              << utf32("[xDS]\r\nbindAddress=1\r\n", false) << ""
                              << "UTF-32";
    QTest::newRow("value not UTF-8, for a UTF-16 file") << QByteArray("bindAddress") << QByteArray("\xFF") << wide << ""
                                                        << "not UTF-8";
    QTest::newRow("refusal reaches the operator through the writer")
        << QByteArray("bindAddress") << QByteArray("1.2.3.4\n[evil]") << plain << "writable"
        << "bindAddress cannot be written: it holds a line break";
    QTest::newRow("bad input refused before the file is opened")
        << QByteArray("bindAddress") << QByteArray("1.2.3.4\n[evil]") << plain << "folder"
        << "it holds a line break";
    QTest::newRow("broken UTF-16 through the writer")
        << QByteArray("bindAddress") << QByteArray("v") << wide + 'x' << "writable"
        << "odd number";
    QTest::newRow("read-only file") << QByteArray("bindAddress") << QByteArray("v") << plain << "readonly"
                                    << "";
    QTest::newRow("file of 4 GiB") << QByteArray("bindAddress") << QByteArray("v") << plain << "huge"
                                   << "larger than 64 MiB";
    QTest::newRow("path is a folder") << QByteArray("bindAddress") << QByteArray("v") << plain << "folder"
                                      << "";
    // Nothing may be made in its place, neither a folder nor a file.
    QTest::newRow("the file's folder does not exist")
        << QByteArray("bindAddress") << QByteArray("v") << plain << "no-folder"
        << "the folder";
    // The user's own file in a folder they may not write: the file could be
    // rewritten in place, but not replaced without a moment of a torn file.
    QTest::newRow("own file, folder not writable for user")
        << QByteArray("bindAddress") << QByteArray("v") << plain << "nobody-folder"
        << "you may write this file but not its folder";
    QTest::newRow("file not readable for user")
        << QByteArray("bindAddress") << QByteArray("v") << plain << "nobody-unreadable"
        << "Permission denied";
    QTest::newRow("file not writable for user")
        << QByteArray("bindAddress") << QByteArray("v") << plain << "nobody-file"
        << "you may not write this file";
}

void tst_localSettings::refused()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, file);
    QFETCH(QString, setup);
    QFETCH(QString, reason);

    if (setup.isEmpty()) {
        QByteArray out;
        const outcome edited = ini::fileWithValues(file, settingsSection, {{key, value}}, &out);
        QVERIFY(!edited.ok());
        QVERIFY2(edited.reason().contains(reason), qPrintable(edited.reason()));
        return;
    }

    QTemporaryDir local;
    ::chmod(QFile::encodeName(local.path()).constData(), 0777);
    QString path = local.filePath("local_settings.ini");
    writeBytes(path, file);

    if (setup == "readonly") {
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    } else if (setup == "huge") {
        QVERIFY(QFile::resize(path, qint64(4) << 30)); // holes, no room on the disk
    } else if (setup == "folder") {
        path = local.path();
    } else if (setup == "no-folder") {
        path = local.filePath("gone/local_settings.ini");
    } else if (setup.startsWith("nobody")) {
        NC_LINUX_ONLY("other users are a Linux row; Wine knows only one user");
        if (!isRoot())
            QSKIP("dropping to another user needs root");
        if (setup == "nobody-folder") {
            ::chmod(QFile::encodeName(local.path()).constData(), 0755);
            QCOMPARE(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
        } else if (setup == "nobody-unreadable")
            ::chmod(QFile::encodeName(path).constData(), 0622);
        else
            ::chmod(QFile::encodeName(path).constData(), 0644);
    }

    debugCapture capture;
    outcome result;
    if (setup.startsWith("nobody")) {
        asNobody user;
        QVERIFY(user.active());
        result = writeSettings(path, {{QString::fromUtf8(key), QString::fromUtf8(value)}});
    } else {
        result = writeSettings(path, {{QString::fromUtf8(key), QString::fromUtf8(value)}});
    }
    const QString why = result.reason();
    QVERIFY(!result.ok());
    QVERIFY2(why.contains(reason) && !why.isEmpty(), qPrintable(why));
    QVERIFY2(!capture.texts().isEmpty(), "a refusal must leave a debug line");
    if (setup == "no-folder") {
        QVERIFY2(why.endsWith("/gone does not exist"), qPrintable(why));
        QCOMPARE(QDir(local.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{"local_settings.ini"});
    } else if (setup != "folder") {
        if (setup == "huge")
            QCOMPARE(QFileInfo(path).size(), qint64(4) << 30);
        else
            QCOMPARE(readBytes(path), file);
        // nothing left beside it either, such as a temporary or lock file
        const QStringList beside = QFileInfo(path).dir().entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(beside, QStringList{QFileInfo(path).fileName()});
    }
}

// Installation trees as deployment tools and shared groups leave them: the
// settings file is found through CC_ROOT as the system finds it, links are
// followed only on their owner's word, and a write keeps everything about
// the file or is refused, the tree untouched.
void tst_localSettings::valueReadsBackAsWritten_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("address") << "192.168.10.20";
    QTest::newRow("GUID-style adaptor ID") << "{4D36E972-E325-11CE-BFC1-08002BE10318}";
    QTest::newRow("non-ASCII adaptor name") << QString::fromUtf8("Ethernet-\xC3\xA9\xE2\x82\xAC");
    QTest::newRow("inner semicolon and equals") << "a;b=c";
}

void tst_localSettings::valueReadsBackAsWritten()
{
    QFETCH(QString, value);
    const QString path = tempPath("roundtrip.ini");
    QFile::remove(path);
    QVERIFY(writeSetting(path, "Adaptor", value));
    QCOMPARE(readSetting(path, "Adaptor"), value);
    comparePlatformRead(path, "Adaptor", value);
}

// On Windows a replaced file stays what it was: ReplaceFileW keeps its own
// access list (an administrator's explicit grant included), its alternate
// data streams and attributes, whatever the folder would give a new file.

QTEST_GUILESS_MAIN(tst_localSettings)
#include "tst_localSettings.moc"
