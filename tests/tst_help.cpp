#include "helpArchive.h"
#include "helpDisplay.h"
#include "helpFilePatches.h"
#include "modulePath.h"
#include "testSupport.h"

#include <QApplication>
#include <QDialog>
#include <QScreen>
#include <QSignalSpy>
#include <QTimer>
#include <QWidget>
#include <QLineEdit>
#include <QPointer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTextBrowser>

#include <sys/stat.h>
#include <unistd.h>

#ifdef Q_OS_WIN
#include "console_win.h"
#include "folderSecurity_win.h"
#include "modulePath_win.h"

#include <iterator>

#include <aclapi.h>
#include <sddl.h>
#include <windows.h>
#endif

// The help file read by our own reader, where it is looked for, the window
// that shows it and where that window goes, and on Windows which help
// library is loaded.

class tst_help : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void helpPagesReadBack_data();
    void helpPagesReadBack();
    void builtHelpOpensAndFollowsLinks();
    void helpPlacement_data();
    void helpPlacement();
    void helpFileLocation_data();
    void helpFileLocation();
    void helpLibrary();
    void cleanupTestCase();

private:
    QTemporaryDir root;
};

void tst_help::initTestCase()
{
    qputenv("CC_ROOT", QFile::encodeName(root.path()));
    qputenv("CC_SYSTEM", "SYS");
#ifdef Q_OS_WIN
    // Planted before any row loads the help control, so that whichever row
    // loads it first finds this one beside the executable (helpLibrary).
    const QString planted = QFileInfo(modulePath()).absolutePath() + "/hhctrl.ocx";
    QFile::remove(planted);
    QVERIFY2(QFile::copy(NC_PLANTED_HELP, planted), qPrintable(planted));
#endif
}

void tst_help::cleanupTestCase()
{
#ifdef Q_OS_WIN
    QFile::remove(QFileInfo(modulePath()).absolutePath() + "/hhctrl.ocx");
#endif
}

// Every page of the built help file, as our reader unpacks it, is its
// source page byte for byte. Compressed content carries no check of its
// own, so a damaged byte may change what a page reads as; but no page reads
// longer or shorter than its directory says, and nothing is read outside the
// file (the sanitizer build runs these rows too).
void tst_help::helpPagesReadBack_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("sources"); // the pages it was made from
    QTest::addColumn<bool>("intact");
    NC_REQUIRE(QFile::exists(NC_HELP_FILE), QStringLiteral("the help file is built with chmcmd (package fp-utils)"));
    const QByteArray built = readBytes(NC_HELP_FILE);
    const QString sources = QStringLiteral(NC_HELP_SOURCES);
    QTest::newRow("the built help file: every page as written") << built << sources << true;
    // Many frames, each reset point decoded afresh.
    const QString severalFrames = QStringLiteral(NC_SEVERAL_FRAMES);
    QTest::newRow("a help file of ten frames and several reset points: every page as written")
        << readBytes(severalFrames + "/several-frames.chm") << severalFrames << true;
    const QByteArray content = "::DataSpace/Storage/MSCompressed/Content";
    const int start = objectAt(built, content);
    const int length = int(findEntry(built, content).field[2]);
    QVERIFY(start > 0 && length > 100);
    for (int percent : {1, 10, 50, 90, 99}) {
        QByteArray file = built;
        file[start + length * percent / 100] = char(file.at(start + length * percent / 100) ^ 0x5A);
        QTest::newRow(qPrintable(QStringLiteral("a byte of the compressed content changed %1% in").arg(percent)))
            << file << sources << false;
    }
    QByteArray cut = built;
    cut.replace(start + length / 2, length - length / 2, QByteArray(length - length / 2, '\0'));
    QTest::newRow("the second half of the compressed content zeroed") << cut << sources << false;
}

void tst_help::helpPagesReadBack()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, sources);
    QFETCH(bool, intact);
    const helpArchive archive(file);
    QVERIFY(archive.isOpen());
    const QStringList pages = QDir(sources).entryList({"*.html", "*.png"}, QDir::Files);
    QVERIFY(pages.size() >= 5);
    int read = 0;
    for (const QString& page : pages) {
        const QByteArray source = readBytes(sources + '/' + page);
        const QByteArray got = archive.read('/' + page);
        if (intact)
            QVERIFY2(got == source, qPrintable(QStringLiteral("%1: %2 bytes, not its source's").arg(page).arg(got.size())));
        else if (!got.isNull())
            QCOMPARE(got.size(), source.size());
        read += got.isNull() ? 0 : 1;
    }
    qInfo("%d of %d pages read", read, int(pages.size()));
}

void tst_help::builtHelpOpensAndFollowsLinks()
{
    NC_LINUX_ONLY("on Windows the system's HTML Help shows the help file; this is the Linux viewer");
    NC_REQUIRE(QFile::exists(NC_HELP_FILE), QStringLiteral("the help file is built with chmcmd (package fp-utils)"));
    QPointer<QWidget> window;
    {
        QDialog owner;
        owner.show();
        QVERIFY(showHelp(&owner, NC_HELP_FILE));
        window = owner.findChild<QWidget*>("helpWindow");
        QVERIFY(window);
        QVERIFY(window->isVisible());
        auto* browser = owner.findChild<QTextBrowser*>("helpBrowser");
        QVERIFY(browser);
        QCOMPARE(browser->documentTitle(), QString("nicChooser: choosing the xDS network adaptor"));
        QCOMPARE(window->windowTitle(), browser->documentTitle());
        const QVariant image =
            browser->loadResource(QTextDocument::ImageResource, browser->source().resolved(QUrl("dialog.png")));
        QCOMPARE(image.toByteArray(), readBytes(NC_TEST_DATA "/../../docs/help/dialog.png"));
        QVERIFY(browser->toHtml().contains("switches.html"));
        browser->setSource(QUrl("switches.html"));
        QCOMPARE(browser->documentTitle(), QString("Switches and unattended starts"));
    }
    QVERIFY(!window); // gone with its dialog
}

// Beside the dialog where the screen has room, and within the screen always.
void tst_help::helpPlacement_data()
{
    QTest::addColumn<QRect>("dialog");
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QRect>("expected");
    const QRect wide(0, 0, 1920, 1080);
    QTest::newRow("room on the right: beside it") << QRect(100, 100, 600, 400) << wide << QRect(708, 100, 700, 550);
    QTest::newRow("room only on the left") << QRect(1200, 100, 600, 400) << wide << QRect(492, 100, 700, 550);
    // 1024 wide: neither side has 700; the side with more room, overlapping as little as it can.
    QTest::newRow("no room beside it: at the screen's edge on the wider side")
        << QRect(100, 100, 600, 400) << QRect(0, 0, 1024, 768) << QRect(316, 100, 700, 550);
    QTest::newRow("low on the screen: moved up to fit")
        << QRect(100, 600, 600, 400) << wide << QRect(708, 494, 700, 550);
    // A scale factor of 2 on 1280x800 leaves 640x400 to lay out in.
    QTest::newRow("screen smaller than the window: shrunk to it")
        << QRect(0, 0, 632, 364) << QRect(0, 0, 640, 400) << QRect(0, 0, 632, 364);
}

void tst_help::helpPlacement()
{
    QFETCH(QRect, dialog);
    QFETCH(QRect, screen);
    QFETCH(QRect, expected);
    QCOMPARE(::helpPlacement(dialog, QSize(700, 550), screen), expected);
}

void tst_help::helpFileLocation_data()
{
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("help");
    QTest::addColumn<QString>("shared"); // where an installation tree keeps it, looked at second
    QTest::newRow("windows program") << "C:\\tools\\nicChooser.exe"
                                     << "C:\\tools\\nicChooser.chm"
                                     << "C:\\share\\nicChooser\\nicChooser.chm";
    // The replacement is case-sensitive; rather than hand the program itself
    // to a viewer, such a path gets ".chm" appended.
    QTest::newRow("upper-case extension kept") << "C:\\tools\\NICCHOOSER.EXE"
                                               << "C:\\tools\\NICCHOOSER.EXE.chm"
                                               << "C:\\share\\nicChooser\\nicChooser.chm";
    QTest::newRow("folder containing .exe") << "C:\\a.exe.d\\tool.exe"
                                            << "C:\\a.chm.d\\tool.chm"
                                            << "C:\\share\\nicChooser\\nicChooser.chm";
    QTest::newRow("no .exe at all") << "/opt/nicChooser/bin/nicChooser"
                                    << "/opt/nicChooser/bin/nicChooser.chm"
                                    << "/opt/nicChooser/share/nicChooser/nicChooser.chm";
    QTest::newRow("installed in /usr/bin") << "/usr/bin/nicChooser"
                                           << "/usr/bin/nicChooser.chm"
                                           << "/usr/share/nicChooser/nicChooser.chm";
    QTest::newRow("renamed executable, shared name fixed") << "/usr/local/bin/nc"
                                                           << "/usr/local/bin/nc.chm"
                                                           << "/usr/local/share/nicChooser/nicChooser.chm";
    QTest::newRow("executable at the top") << "/nicChooser"
                                           << "/nicChooser.chm"
                                           << "/share/nicChooser/nicChooser.chm";
}

void tst_help::helpFileLocation()
{
    QFETCH(QString, executable);
    QFETCH(QString, help);
    QFETCH(QString, shared);
    QCOMPARE(helpFilePath(executable), help);
    QCOMPARE(helpFilePlaces(executable), (QStringList{help, shared}));
}

// The HTML Help control runs in the process: it must be the system's, not
// whatever lies beside the executable (planted there in initTestCase).
void tst_help::helpLibrary()
{
#ifndef Q_OS_WIN
    QSKIP("the HTML Help control is Windows'; Linux shows the help itself");
#else
    const QString planted = QFileInfo(modulePath()).absolutePath() + "/hhctrl.ocx";
    QVERIFY2(QFile::exists(planted), "planted in initTestCase");
    QWidget owner;
    owner.show();
    showHelp(&owner, root.filePath("missing.chm")); // loads the control, whatever the file
    const HMODULE loaded = GetModuleHandleW(L"hhctrl.ocx");
    QVERIFY2(loaded, "showHelp loaded no help control");
    wchar_t path[MAX_PATH * 4] = {};
    QVERIFY(GetModuleFileNameW(loaded, path, DWORD(std::size(path))) > 0);
    wchar_t system[MAX_PATH * 4] = {};
    QVERIFY(GetSystemDirectoryW(system, UINT(std::size(system))) > 0);
    QCOMPARE(QString::fromWCharArray(path).toLower(),
             (QString::fromWCharArray(system) + QStringLiteral("\\hhctrl.ocx")).toLower());
#endif
}

QTEST_MAIN(tst_help)
#include "tst_help.moc"
