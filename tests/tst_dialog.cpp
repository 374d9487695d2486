#include "binaryImage.h"
#include "helpArchive.h"
#include "helpDisplay.h"
#include "modulePath.h"
#include "nicChooser.h"
#include "startup.h"
#include "messageBoxes.h"
#include "testSupport.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPointer>
#include <QScopeGuard>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>

#include <pwd.h>
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

namespace {

// Patching a built help file: little-endian numbers at fixed places, and the
// directory's entries (name, then section, offset and length as numbers of
// 7 bits a byte, most significant first).
quint64 numberAt(const QByteArray& file, int at, int bytes)
{
    quint64 value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | uchar(file[at + i]);
    return value;
}

void setNumberAt(QByteArray& file, int at, int bytes, quint64 value)
{
    for (int i = 0; i < bytes; ++i)
        file[at + i] = char(value >> (8 * i));
}

QByteArray encoded(quint64 value)
{
    QByteArray bytes(1, char(value & 0x7F));
    while (value >>= 7)
        bytes.prepend(char(0x80 | (value & 0x7F)));
    return bytes;
}

struct helpEntry {
    int start = -1, end = -1; // where the entry lies in the file
    quint64 field[3] = {};    // section, offset, length
};

helpEntry findEntry(const QByteArray& file, const QByteArray& name)
{
    helpEntry e;
    // Every object here is in section 0 or 1.
    e.start = file.indexOf(encoded(quint64(name.size())) + name + char(0));
    if (e.start < 0)
        e.start = file.indexOf(encoded(quint64(name.size())) + name + char(1));
    if (e.start < 0)
        return e;
    e.end = e.start + encoded(quint64(name.size())).size() + name.size();
    for (quint64& value : e.field) {
        value = 0;
        do
            value = value << 7 | (uchar(file[e.end]) & 0x7F);
        while (uchar(file[e.end++]) & 0x80);
    }
    return e;
}

// Where a stored (section 0) object's bytes begin.
int objectAt(const QByteArray& file, const QByteArray& name)
{
    return int(numberAt(file, 0x58, 8) + findEntry(file, name).field[1]);
}

// file with one field of name's entry changed; a longer entry takes its
// room from the free space at the end of the entries in its chunk.
QByteArray withEntry(QByteArray file, const QByteArray& name, int field, quint64 value)
{
    const helpEntry e = findEntry(file, name);
    QByteArray entry = encoded(quint64(name.size())) + name;
    for (int i = 0; i < 3; ++i)
        entry += encoded(i == field ? value : e.field[i]);
    const int directory = int(numberAt(file, 0x48, 8));
    const int chunk = directory + int(numberAt(file, directory + 8, 4));
    const int chunkEnd = chunk + int(numberAt(file, directory + 0x10, 4));
    const int freeSpace = int(numberAt(file, chunk + 4, 4));
    const int growth = entry.size() - (e.end - e.start);
    file.replace(e.start, e.end - e.start, entry);
    file.remove(chunkEnd - freeSpace + growth, growth);
    setNumberAt(file, chunk + 4, 4, quint64(freeSpace - growth));
    return file;
}

} // namespace

class tst_dialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void form();
    void objectNameSetBeforehandIsKept();
    void helpButtonTriggersActionAndExplainsMissingFile_data();
    void helpButtonTriggersActionAndExplainsMissingFile();
    void corruptHelpFileExplained_data();
    void corruptHelpFileExplained();
    void helpPagesReadBack_data();
    void helpPagesReadBack();
    void builtHelpOpensAndFollowsLinks();
    void helpWindowOnceWithNavigation();
    void helpPlacement_data();
    void helpPlacement();
    void switches_data();
    void switches();
    void fatalWithoutVariable_data();
    void fatalWithoutVariable();
    void helpFileLocation_data();
    void helpFileLocation();
    void pluginFolder_data();
    void pluginFolder();
    void binaryHeaders_data();
    void binaryHeaders();
    void debugLinesInOwnCategory_data();
    void debugLinesInOwnCategory();
    void moduleName_data();
    void moduleName();
    void helpLibrary();
    void standardHandles_data();
    void standardHandles();
    void cleanupTestCase();

private:
    QTemporaryDir root;
};

void tst_dialog::initTestCase()
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

void tst_dialog::cleanupTestCase()
{
#ifdef Q_OS_WIN
    QFile::remove(QFileInfo(modulePath()).absolutePath() + "/hhctrl.ocx");
#endif
}

void tst_dialog::form()
{
    nicChooser dialog;
    QCOMPARE(dialog.objectName(), QString("nicChooserClass"));
    QCOMPARE(dialog.windowTitle(), QString("Set network adaptor/address for orvel_csi (xDS transport)"));
    QCOMPARE(dialog.size(), QSize(600, 400));

    auto* tree = dialog.findChild<QTreeWidget*>("treeAdapters");
    QVERIFY(tree);
    QCOMPARE(tree->columnCount(), 3);
    QCOMPARE(tree->headerItem()->text(0), QString("Name"));
    QCOMPARE(tree->headerItem()->text(1), QString("Address"));
    QCOMPARE(tree->headerItem()->text(2), QString("Adaptor ID"));

    const QStringList buttons{"helpButton", "okButton", "cancelButton"};
    const QStringList texts{"Help", "Ok", "Cancel"};
    auto* row = dialog.findChild<QHBoxLayout*>("horizontalLayout");
    QVERIFY(row);
    QCOMPARE(row->spacing(), 6);
    for (int i = 0; i < buttons.size(); ++i) {
        auto* b = dialog.findChild<QPushButton*>(buttons[i]);
        QVERIFY2(b, qPrintable(buttons[i]));
        QCOMPARE(b->text(), texts[i]);
    }
    // Help at the left, a stretch, then Ok and Cancel.
    QCOMPARE(row->indexOf(dialog.findChild<QPushButton*>("helpButton")), 0);
    QVERIFY(row->itemAt(1)->spacerItem());
    QCOMPARE(row->indexOf(dialog.findChild<QPushButton*>("okButton")), 2);
    QCOMPARE(row->indexOf(dialog.findChild<QPushButton*>("cancelButton")), 3);
    QVERIFY(!dialog.findChild<QPushButton*>("okButton")->isEnabled());

    auto* column = dialog.findChild<QVBoxLayout*>("verticalLayout");
    QVERIFY(column);
    QCOMPARE(column->spacing(), 6);
    QCOMPARE(column->contentsMargins(), QMargins(11, 11, 11, 11));

    auto* action = dialog.findChild<QAction*>("actionhelpAction");
    QVERIFY(action);
    QCOMPARE(action->text(), QString("helpAction"));
    QCOMPARE(action->shortcut(), QKeySequence(Qt::Key_F1));
}

void tst_dialog::objectNameSetBeforehandIsKept()
{
    QDialog d;
    d.setObjectName("mine");
    Ui_nicChooserClass ui;
    ui.setupUi(&d);
    QCOMPARE(d.objectName(), QString("mine"));
}

// Beside the executable first (a tool carried in an installation's own
// folder), then where an installation tree keeps data: ../share/nicChooser.
void tst_dialog::helpButtonTriggersActionAndExplainsMissingFile_data()
{
    QTest::addColumn<QString>("beside"); // what lies beside the executable: "", "built" or "broken"
    QTest::addColumn<QString>("shared"); // the same, in ../share/nicChooser/nicChooser.chm
    QTest::addColumn<bool>("shown");     // the help window, else the box naming both places
    QTest::newRow("no help file anywhere") << ""
                                           << "" << false;
    QTest::newRow("help file beside the executable") << "built"
                                                     << "" << true;
    QTest::newRow("help file only under share") << ""
                                                << "built" << true;
    QTest::newRow("unreadable beside, good under share") << "broken"
                                                         << "built" << true;
    QTest::newRow("unreadable in both places") << "broken"
                                               << "broken" << false;
}

void tst_dialog::helpButtonTriggersActionAndExplainsMissingFile()
{
    QFETCH(QString, beside);
    QFETCH(QString, shared);
    QFETCH(bool, shown);
    if (shown)
        NC_LINUX_ONLY("on Windows the system's HTML Help shows the help file; the Linux viewer is what these rows "
                      "find open");
    if (!beside.isEmpty() || !shared.isEmpty())
        NC_REQUIRE(QFile::exists(NC_HELP_FILE),
                   QStringLiteral("the help file is built with chmcmd (package fp-utils)"));
    // Formed here by other means than the code under test.
    // Windows names the help file after the program without its ".exe".
    QString besidePath = modulePath();
    if (besidePath.endsWith(".exe"))
        besidePath.chop(4);
    besidePath += ".chm";
    const QString sharedPath = QDir::toNativeSeparators(
        QDir::cleanPath(QFileInfo(modulePath()).absolutePath() + "/../share/nicChooser/nicChooser.chm"));
    QVERIFY2(!QFile::exists(besidePath) && !QFile::exists(sharedPath), "left over from an earlier run");
    const auto place = [](const QString& kind, const QString& path) {
        if (kind.isEmpty())
            return;
        QDir().mkpath(QFileInfo(path).absolutePath());
        writeBytes(path, kind == "built" ? readBytes(NC_HELP_FILE) : QByteArray("ITSF broken").repeated(50));
    };
    place(beside, besidePath);
    place(shared, sharedPath);
    nicChooser dialog;
    dialog.show();
    QSignalSpy triggered(dialog.findChild<QAction*>("actionhelpAction"), &QAction::triggered);
    boxWatcher box;
    QTest::mouseClick(dialog.findChild<QPushButton*>("helpButton"), Qt::LeftButton);
    QFile::remove(besidePath);
    QFile::remove(sharedPath);
    QDir().rmpath(QFileInfo(sharedPath).absolutePath()); // only what is empty
    QCOMPARE(triggered.count(), 1);
    if (shown) {
        auto* window = dialog.findChild<QWidget*>("helpWindow");
        QVERIFY(window && window->isVisible());
        QVERIFY(box.titles().isEmpty());
        return;
    }
    QTRY_COMPARE(box.titles(), QStringList{"Ooops"});
    QCOMPARE(box.texts().value(0),
             "Can't open help file\n\nThis needs to be alongside the executable with the same name but "
             ".chm extention\n\nI tried to open:\n"
                 + besidePath + "\n" + sharedPath);
    QVERIFY(!dialog.findChild<QWidget*>("helpWindow"));
    QVERIFY(dialog.isVisible());
}

void tst_dialog::corruptHelpFileExplained_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("shown");   // a window with the pages that could be read, else the box
    QTest::addColumn<QString>("said"); // part of the debug line that explains
    QTest::newRow("not a help file") << QByteArray("ITSF not really a help file").repeated(100) << false
                                     << "is not understood";
    NC_REQUIRE(QFile::exists(NC_HELP_FILE), QStringLiteral("the help file is built with chmcmd (package fp-utils)"));
    const QByteArray built = readBytes(NC_HELP_FILE);
    QVERIFY(findEntry(built, "/#SYSTEM").end > 0 && findEntry(built, "/index.html").end > 0);
    enum { section, offset, length };
    const quint64 systemLength = findEntry(built, "/#SYSTEM").field[length];
    // Unreadable #SYSTEM or default topic: the first page that can be read.
    QTest::newRow("object length above 4 GiB")
        << withEntry(built, "/#SYSTEM", length, systemLength + (quint64(1) << 32)) << true << "\"/#SYSTEM\" claims";
    QTest::newRow("object offset past end of file")
        << withEntry(built, "/#SYSTEM", offset, quint64(built.size())) << true << "runs past the end of the file";
    QTest::newRow("page past the unpacked content")
        << withEntry(built, "/index.html", offset, quint64(1) << 40) << true << "lies outside the";
    QByteArray file = built;
    const int system = objectAt(built, "/#SYSTEM");
    int record = system + 4;
    while (numberAt(built, record, 2) != 2) // the default topic's record
        record += 4 + int(numberAt(built, record + 2, 2));
    setNumberAt(file, record + 2, 2, quint64(system) + systemLength - quint64(record)); // 4 bytes too long
    QTest::newRow("#SYSTEM record runs past its object") << file << true << "#SYSTEM record";
    // Nothing to show.
    QTest::newRow("truncated file") << built.left(built.size() * 3 / 4) << false << "MSCompressed/Content";
    file = built;
    setNumberAt(file, 0x50, 8, quint64(1) << 40);
    QTest::newRow("directory past end of file") << file << false << "lies outside the file";
    // A length that, added to the offset, wraps around to 0: inside the file to a sum that overflows.
    file = built;
    setNumberAt(file, 0x50, 8, quint64(0) - numberAt(built, 0x48, 8));
    QTest::newRow("directory offset plus length wraps around 64 bits") << file << false << "lies outside the file";
    file = built;
    setNumberAt(file, int(numberAt(built, 0x48, 8)) + 0x2C, 4, 0xFFFFFFFF);
    QTest::newRow("more directory chunks than the directory holds") << file << false << "don't fit the directory";
    file = built;
    const QByteArray resetTable =
        "::DataSpace/Storage/MSCompressed/Transform/{7FC28940-9D31-11D0-9B27-00A0C91E9C7C}/InstanceData/ResetTable";
    setNumberAt(file, objectAt(built, resetTable) + 0x10, 8, quint64(1) << 40); // the unpacked length
    QTest::newRow("compressed content claims 1 TiB") << file << false << "is refused";
}

void tst_dialog::corruptHelpFileExplained()
{
    NC_LINUX_ONLY("on Windows the system's HTML Help reads the help file itself; these are the Linux viewer's checks");
    QFETCH(QByteArray, file);
    QFETCH(bool, shown);
    QFETCH(QString, said);
    const QString help = helpFilePath(modulePath());
    writeBytes(help, file);
    debugCapture capture;
    nicChooser dialog;
    dialog.show();
    // A box where none belongs is answered too, so that the row fails rather than hangs.
    boxWatcher box;
    dialog.findChild<QAction*>("actionhelpAction")->trigger();
    QFile::remove(help);
    QVERIFY2(capture.texts().join('\n').contains(said), qPrintable(capture.texts().join('\n')));
    if (!shown) {
        QTRY_COMPARE(box.titles(), QStringList{"Ooops"});
        QVERIFY(box.texts().value(0).contains("I tried to open:\n" + help + "\n"));
        QVERIFY(!dialog.findChild<QWidget*>("helpWindow"));
        return;
    }
    QVERIFY(box.titles().isEmpty());
    auto* window = dialog.findChild<QWidget*>("helpWindow");
    QVERIFY(window && window->isVisible());
    QVERIFY(!dialog.findChild<QTextBrowser*>("helpBrowser")->toPlainText().isEmpty());
}

// Every page of the built help file, as our reader unpacks it, is its
// source page byte for byte. Compressed content carries no check of its
// own, so a damaged byte may change what a page reads as; but no page reads
// longer or shorter than its directory says, and nothing is read outside the
// file (the sanitizer build runs these rows too).
void tst_dialog::helpPagesReadBack_data()
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

void tst_dialog::helpPagesReadBack()
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

void tst_dialog::builtHelpOpensAndFollowsLinks()
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

// F1 twice gives one help window; it has a browser's buttons and a find.
void tst_dialog::helpWindowOnceWithNavigation()
{
    NC_LINUX_ONLY("on Windows the system's HTML Help window is the help window, with its own buttons; this is the "
                  "Linux viewer");
    NC_REQUIRE(QFile::exists(NC_HELP_FILE), QStringLiteral("the help file is built with chmcmd (package fp-utils)"));
    const QString help = helpFilePath(modulePath());
    QFile::remove(help);
    QVERIFY(QFile::copy(NC_HELP_FILE, help));
    nicChooser dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClick(&dialog, Qt::Key_F1);
    auto* window = dialog.findChild<QDialog*>("helpWindow");
    QVERIFY(window && window->isVisible());
    dialog.activateWindow();
    QTest::keyClick(&dialog, Qt::Key_F1);
    QFile::remove(help);
    QCOMPARE(dialog.findChildren<QDialog*>("helpWindow").size(), 1);
    QVERIFY(window->isVisible());
    // Within the screen, and no larger than it asked for.
    const QRect screen = dialog.screen()->availableGeometry();
    QVERIFY2(screen.contains(window->frameGeometry()) || screen.contains(window->geometry()),
             qPrintable(
                 QString("%1,%2 %3x%4").arg(window->x()).arg(window->y()).arg(window->width()).arg(window->height())));
    QVERIFY(window->width() <= 700 && window->height() <= 550);

    auto* browser = window->findChild<QTextBrowser*>("helpBrowser");
    auto* back = window->findChild<QPushButton*>("helpBack");
    auto* forward = window->findChild<QPushButton*>("helpForward");
    auto* home = window->findChild<QPushButton*>("helpHome");
    QVERIFY(browser && back && forward && home);
    QVERIFY(!back->isEnabled() && !forward->isEnabled());
    const QString first = browser->documentTitle();
    browser->setSource(QUrl("switches.html"));
    QVERIFY(back->isEnabled());
    QSignalSpy moved(browser, &QTextBrowser::sourceChanged);
    QTest::mouseClick(back, Qt::LeftButton);
    QCOMPARE(browser->documentTitle(), first);
    QVERIFY(forward->isEnabled());
    QTest::mouseClick(forward, Qt::LeftButton);
    QCOMPARE(browser->documentTitle(), QString("Switches and unattended starts"));
    QTest::mouseClick(home, Qt::LeftButton);
    QCOMPARE(browser->documentTitle(), first);
    QCOMPARE(moved.count(), 3);

    // Ctrl+F opens the find field; Enter highlights the next match.
    auto* find = window->findChild<QLineEdit*>("helpFind");
    QVERIFY(find && !find->isVisible());
    QApplication::setActiveWindow(window); // as a click on it would
    QVERIFY(QTest::qWaitForWindowActive(window));
    QTest::keySequence(window, QKeySequence::Find);
    QVERIFY(find->isVisible());
    QTRY_VERIFY(find->hasFocus());
    QTest::keyClicks(find, "multicast");
    QTest::keyClick(find, Qt::Key_Return);
    QCOMPARE(browser->textCursor().selectedText().toLower(), QString("multicast"));
    const int firstMatch = browser->textCursor().position();
    QTest::keyClick(find, Qt::Key_Return);
    QVERIFY(browser->textCursor().position() > firstMatch);
}

// Beside the dialog where the screen has room, and within the screen always.
void tst_dialog::helpPlacement_data()
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

void tst_dialog::helpPlacement()
{
    QFETCH(QRect, dialog);
    QFETCH(QRect, screen);
    QFETCH(QRect, expected);
    QCOMPARE(::helpPlacement(dialog, QSize(700, 550), screen), expected);
}

void tst_dialog::switches_data()
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

void tst_dialog::switches()
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

void tst_dialog::fatalWithoutVariable_data()
{
    QTest::addColumn<QByteArray>("rootValue"); // null: not set
    QTest::addColumn<QByteArray>("systemValue");
    QTest::addColumn<QString>("because");
    const QByteArray unset;
    QTest::newRow("CC_ROOT missing") << unset << QByteArray("SYS") << "CC_ROOT environment variable is not set";
    QTest::newRow("CC_SYSTEM missing") << QByteArray("/r") << unset << "CC_SYSTEM environment variable is not set";
    QTest::newRow("both missing") << unset << unset << "CC_ROOT and CC_SYSTEM environment variables are not set";
    // An empty root would put the settings file at the top of the file system.
    QTest::newRow("CC_ROOT empty") << QByteArray("") << QByteArray("SYS") << "CC_ROOT environment variable is not set";
    QTest::newRow("CC_SYSTEM empty") << QByteArray("/r") << QByteArray("")
                                     << "CC_SYSTEM environment variable is not set";
}

void tst_dialog::fatalWithoutVariable()
{
    QFETCH(QByteArray, rootValue);
    QFETCH(QByteArray, systemValue);
    QFETCH(QString, because);
    const QByteArray savedRoot = qgetenv("CC_ROOT");
    const QByteArray savedSystem = qgetenv("CC_SYSTEM");
    auto set = [](const char* name, const QByteArray& value) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    };
    set("CC_ROOT", rootValue);
    set("CC_SYSTEM", systemValue);
    boxWatcher box;
    {
        nicChooser dialog;
        // The box was modal inside the constructor and is gone now.
        qputenv("CC_ROOT", savedRoot);
        qputenv("CC_SYSTEM", savedSystem);
        QCOMPARE(box.titles(), QStringList{"nicChooser: Fatal error"});
        QCOMPARE(box.texts().value(0),
                 "Can't set the adaptor - there's nowhere to write the value to because " + because);
        QCOMPARE(dialog.findChild<QTreeWidget*>("treeAdapters")->topLevelItemCount(), 0);
        QCOMPARE(dialog.exitCode(), int(exitNoVariable));
        QSignalSpy finished(&dialog, &QDialog::finished);
        dialog.show();
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 2000); // closes by itself
        QCOMPARE(finished.count(), 1);
    }
    QVERIFY(QDir(root.path()).isEmpty());
}

void tst_dialog::helpFileLocation_data()
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

void tst_dialog::helpFileLocation()
{
    QFETCH(QString, executable);
    QFETCH(QString, help);
    QFETCH(QString, shared);
    QCOMPARE(helpFilePath(executable), help);
    QCOMPARE(helpFilePlaces(executable), (QStringList{help, shared}));
}

// The plug-ins are code the tool runs, often as root: the installation's
// folder serves only when it can, and only when nobody else could have put
// code into it; the toolkit gets exactly the folder that was checked.
void tst_dialog::pluginFolder_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("used");
    QTest::addColumn<QString>("said"); // in the debug line when not used
    QTest::newRow("platform plug-in present") << "plugin" << true << "";
    QTest::newRow("link to the system's plug-ins") << "system-link" << true << "";
    QTest::newRow("folder absent") << "" << false << "does not exist";
    QTest::newRow("only CC_ROOT set") << "plugin no-system" << false << "";
    QTest::newRow("Windows plug-ins only") << "windows-only" << false << "holds no platform plug-in for offscreen";
    // Without offscreen, a run with nobody to see it would have nothing to start.
    QTest::newRow("only the X11 plug-in") << "xcb-only" << false << "holds no platform plug-in for offscreen";
    QTest::newRow("plug-in others may write") << "plugin plugin-writable" << false << "may be written by others";
    QTest::newRow("installation folder others may write")
        << "plugin root-writable" << false << "may be written by others";
    QTest::newRow("the plug-in folder itself others may write")
        << "plugin folder-writable" << false << "may be written by others";
    QTest::newRow("plug-in folder of another user") << "plugin folder-nobody" << false << "belongs to another user";
    QTest::newRow("a trusted installation reached through a co-user's link")
        << "plugin through-link" << false << "so it is not followed";
    QTest::newRow("a link in the folder that leads through a co-user's folder")
        << "link-via-user" << false << "belongs to another user";
    // An installation made for an older 32-bit build: nothing there loads here.
    QTest::newRow("a plug-in for another machine (32-bit x86)")
        << "foreign" << false << "platforms/" + platformPluginName("offscreen")
                                     + " is for 32-bit x86; this program is 64-bit x86-64";
    QTest::newRow("a plug-in for another machine beside one that loads")
        << "plugin foreign-xcb" << false << "platforms/" + platformPluginName("xcb") + " is for 32-bit x86";
    QTest::newRow("a plug-in built with another minor version of the toolkit")
        << "old-toolkit" << false << "was built with toolkit 5.8; this program runs on " + QString(qVersion());
    QTest::newRow("a plug-in needing a toolkit library this toolkit has not")
        << "missing-library" << false << "needs the toolkit library " + toolkitLibraryName("Gux")
                                             + ", which this program's toolkit does not have";
    QTest::newRow("a plug-in cut short: the libraries it needs cannot be read")
        << "cut" << false << "names the libraries it needs in a way that cannot be read";
    // Access lists on Windows: the folder as Wine makes it, and what only
    // Windows makes, put in place of GetSecurityInfo's answer for one object.
    QTest::newRow("Windows: a plug-in whose DACL lets Everyone write it, set with SetNamedSecurityInfoW")
        << "plugin acl-world-write" << false << "may be written by others: S-1-1-0";
    QTest::newRow("Windows: GetSecurityInfo names another account as the plug-in folder's owner")
        << "plugin inject-owner-other" << false << "belongs to another user";
    QTest::newRow("Windows: a folder made in the drive's root inherits Modify for Authenticated Users")
        << "plugin inject-inherited-modify" << false << "may be written by others: S-1-5-11";
    QTest::newRow("Windows: the drive's root lets Authenticated Users add folders, and Modify only inside (its "
                  "default)")
        << "plugin inject-root-default" << true << "";
    QTest::newRow("Windows: a plug-in with a null DACL, which grants everyone full access")
        << "plugin inject-null-dacl" << false << "may be written by others: anybody";
    QTest::newRow("Windows: Everyone may delete children of the installation's folder (FILE_DELETE_CHILD)")
        << "plugin inject-delete-child" << false << "may remove or replace what it holds";
    QTest::newRow("Windows: Everyone may delete the installation's folder itself (DELETE), so move it away")
        << "plugin inject-delete-top" << false << "may move it away";
    QTest::newRow("Windows: GetFinalPathNameByHandleW names another file for the plug-in (a symbolic link)")
        << "plugin inject-link" << false << "a link or junction, which is not followed";
    QTest::newRow("Windows: TrustedInstaller owns the plug-in folder, only Administrators and SYSTEM may write")
        << "plugin inject-installer" << true << "";
    QTest::newRow("Windows: a deny entry for Everyone does not outweigh an allow entry for Users")
        << "plugin inject-deny-allow" << false << "may be written by others: S-1-5-32-545";
}

#ifdef Q_OS_WIN
namespace {

PSID sidOf(const wchar_t* text)
{
    PSID sid = nullptr;
    ConvertStringSidToSidW(text, &sid);
    return sid; // kept for the test program's life
}

// A self-relative descriptor holding owner and the entries of dacl, then
// added (each: flags, mask, SID text; an 'D' in front of the text denies), as
// GetSecurityInfo hands one out.
DWORD describe(PSID owner, PACL dacl, const QList<std::tuple<BYTE, DWORD, QString>>& added, bool nullDacl,
               PSID* ownerOut, PACL* daclOut, PSECURITY_DESCRIPTOR* out)
{
    std::vector<BYTE> acl(8192);
    PACL made = reinterpret_cast<PACL>(acl.data());
    InitializeAcl(made, DWORD(acl.size()), ACL_REVISION);
    const auto add = [&](BYTE flags, DWORD mask, const QString& who) {
        const bool deny = who.startsWith('D');
        PSID sid = sidOf(reinterpret_cast<const wchar_t*>(who.mid(deny ? 1 : 0).utf16()));
        if (deny)
            AddAccessDeniedAceEx(made, ACL_REVISION, flags, mask, sid);
        else
            AddAccessAllowedAceEx(made, ACL_REVISION, flags, mask, sid);
    };
    for (const auto& a : added)
        if (std::get<2>(a).startsWith('D'))
            add(std::get<0>(a), std::get<1>(a), std::get<2>(a));
    ACL_SIZE_INFORMATION size{};
    if (dacl && GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) {
        for (DWORD i = 0; i < size.AceCount; ++i) {
            void* ace = nullptr;
            if (GetAce(dacl, i, &ace))
                AddAce(made, ACL_REVISION, MAXDWORD, ace, static_cast<ACE_HEADER*>(ace)->AceSize);
        }
    }
    for (const auto& a : added)
        if (!std::get<2>(a).startsWith('D'))
            add(std::get<0>(a), std::get<1>(a), std::get<2>(a));
    SECURITY_DESCRIPTOR absolute;
    InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&absolute, owner, FALSE);
    SetSecurityDescriptorDacl(&absolute, TRUE, nullDacl ? nullptr : made, FALSE);
    DWORD length = 0;
    MakeSelfRelativeSD(&absolute, nullptr, &length);
    *out = LocalAlloc(LMEM_FIXED, length);
    if (!MakeSelfRelativeSD(&absolute, *out, &length))
        return GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorOwner(*out, ownerOut, &defaulted);
    GetSecurityDescriptorDacl(*out, &present, daclOut, &defaulted);
    return ERROR_SUCCESS;
}

// In place of GetSecurityInfo: for the object whose final path ends with
// target, what the documented case says; every other as the system reads it.
void injectSecurity(const QString& kind, const QString& install)
{
    const QString lib = QFileInfo(install + "/SYS/windows/lib").canonicalFilePath();
    const QString top = QFileInfo(install).canonicalFilePath();
    setSecurityReader([=](HANDLE h, PSID* owner, PACL* dacl, PSECURITY_DESCRIPTOR* descriptor) -> DWORD {
        const QString path = systemPath(h);
        const bool isLib = path.endsWith(lib, Qt::CaseInsensitive);
        const bool isTop = path.endsWith(top, Qt::CaseInsensitive);
        const bool isRoot = path.endsWith(":/");
        const bool isPlugin = path.endsWith("/platforms/" + platformPluginName("offscreen"), Qt::CaseInsensitive);
        PSECURITY_DESCRIPTOR real = nullptr;
        PSID realOwner = nullptr;
        PACL realDacl = nullptr;
        const DWORD error = systemSecurity(h, &realOwner, &realDacl, &real);
        if (error != ERROR_SUCCESS)
            return error;
        QList<std::tuple<BYTE, DWORD, QString>> added;
        PSID newOwner = realOwner;
        bool nullDacl = false;
        bool changed = true;
        const DWORD modify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
        if (kind == "inject-owner-other" && isLib)
            newOwner = sidOf(L"S-1-5-21-1004336348-1177238915-682003330-1001");
        else if (kind == "inject-inherited-modify" && isLib)
            added << std::make_tuple(BYTE(INHERITED_ACE | OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE), modify,
                                     QString("S-1-5-11"));
        else if (kind == "inject-root-default" && isRoot)
            added << std::make_tuple(BYTE(0), DWORD(FILE_APPEND_DATA), QString("S-1-5-11"))
                  << std::make_tuple(BYTE(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE),
                                     DWORD(GENERIC_ALL), QString("S-1-5-11"))
                  << std::make_tuple(BYTE(CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE), DWORD(GENERIC_ALL),
                                     QString("S-1-3-0"));
        else if (kind == "inject-null-dacl" && isPlugin)
            nullDacl = true;
        else if (kind == "inject-delete-top" && isTop)
            added << std::make_tuple(BYTE(0), DWORD(DELETE), QString("S-1-1-0"));
        else if (kind == "inject-delete-child" && isTop)
            added << std::make_tuple(BYTE(0), DWORD(FILE_DELETE_CHILD), QString("S-1-1-0"));
        else if (kind == "inject-installer" && isLib) {
            newOwner = sidOf(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
            added << std::make_tuple(BYTE(0), DWORD(FILE_ALL_ACCESS), QString("S-1-5-32-544"))
                  << std::make_tuple(BYTE(0), DWORD(FILE_ALL_ACCESS), QString("S-1-5-18"));
        } else if (kind == "inject-deny-allow" && isLib)
            added << std::make_tuple(BYTE(0), DWORD(FILE_WRITE_DATA), QString("DS-1-1-0"))
                  << std::make_tuple(BYTE(0), DWORD(FILE_WRITE_DATA), QString("S-1-5-32-545"));
        else
            changed = false;
        if (!changed) {
            *owner = realOwner;
            *dacl = realDacl;
            *descriptor = real;
            return ERROR_SUCCESS;
        }
        const DWORD made = describe(newOwner, realDacl, added, nullDacl, owner, dacl, descriptor);
        LocalFree(real);
        return made;
    });
}

// Everyone may write the file: a DACL of the user's and Everyone's write,
// through the call an installer would use; false when the system does not
// keep it.
bool letEveryoneWrite(const QString& path)
{
    EXPLICIT_ACCESSW access[1] = {};
    access[0].grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    access[0].grfAccessMode = GRANT_ACCESS;
    access[0].grfInheritance = NO_INHERITANCE;
    access[0].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access[0].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access[0].Trustee.ptstrName = static_cast<LPWSTR>(sidOf(L"S-1-1-0"));
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    PACL old = nullptr, now = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old,
                              nullptr, &sd)
        != ERROR_SUCCESS)
        return false;
    const bool set = SetEntriesInAclW(1, access, old, &now) == ERROR_SUCCESS
                     && SetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()), SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION, nullptr, nullptr, now, nullptr)
                            == ERROR_SUCCESS;
    LocalFree(now);
    LocalFree(sd);
    // Read back: the row stands only on an access list the system kept.
    PACL back = nullptr;
    if (!set || GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &back, nullptr, &sd)
                    != ERROR_SUCCESS)
        return false;
    bool granted = false;
    ACL_SIZE_INFORMATION size{};
    if (back && GetAclInformation(back, &size, sizeof size, AclSizeInformation))
        for (DWORD i = 0; i < size.AceCount; ++i) {
            void* ace = nullptr;
            if (GetAce(back, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
                const ACCESS_ALLOWED_ACE* a = static_cast<ACCESS_ALLOWED_ACE*>(ace);
                granted = granted
                          || ((a->Mask & FILE_WRITE_DATA)
                              && EqualSid(const_cast<DWORD*>(&a->SidStart), sidOf(L"S-1-1-0")));
            }
        }
    LocalFree(sd);
    return granted;
}

} // namespace
#endif

namespace {

// A platform plug-in of the system's, copied (name: its file name).
void copyPlatform(const QString& name, const QString& to)
{
    const QString from = toolkitPlatformsFolder() + "/" + name;
    QVERIFY2(QFile::copy(from, to + "/" + name), qPrintable(from));
}

// The toolkit's platform plug-in for platform, patched, into folder; false
// when the patch finds nothing to change.
bool patchedPlatform(const QString& platform, const QString& patch, const QString& folder)
{
    const QString name = platformPluginName(platform);
    const QByteArray real = readBytes(toolkitPlatformsFolder() + "/" + name);
    const QByteArray bytes = patch == "foreign"       ? asForeignMachine(real)
                             : patch == "old-toolkit" ? asBuiltWithMinor(real, 8)
                             : patch == "cut"         ? real.left(4096)
                                                      : withNeededRenamed(real, toolkitLibraryName("Gui").toLatin1(),
                                                                          toolkitLibraryName("Gux").toLatin1());
    if (bytes.isEmpty() || bytes == real)
        return false;
    writeBytes(folder + "/" + name, bytes);
    return true;
}

// The installation for a row of pluginFolder, in install; false when it
// cannot be had here.
bool makeInstallation(const QStringList& words, const QString& install, const QString& home)
{
    const QString folder = install + "/SYS/windows/lib";
    const QString platforms = folder + "/platforms";
    if (words.contains("plugin") || words.contains("xcb-only") || words.contains("windows-only"))
        QDir().mkpath(platforms);
    if (words.contains("plugin"))
        copyPlatform(platformPluginName("offscreen"), platforms);
    if (words.contains("xcb-only"))
        copyPlatform("libqxcb.so", platforms);
    if (words.contains("windows-only"))
        writeBytes(platforms + "/qwindows.dll", "MZ");
    for (const char* patch : {"foreign", "old-toolkit", "missing-library", "cut"}) {
        if (words.contains(patch)) {
            QDir().mkpath(platforms);
            if (!patchedPlatform("offscreen", patch, platforms))
                return false;
        }
    }
    if (words.contains("foreign-xcb") && !patchedPlatform("xcb", "foreign", platforms))
        return false;
    if (words.contains("system-link")) {
        QDir().mkpath(folder);
        QFile::link(QLibraryInfo::location(QLibraryInfo::PluginsPath) + "/platforms", platforms);
    }
    if (words.contains("plugin-writable"))
        QFile::setPermissions(platforms + "/libqoffscreen.so", QFileDevice::Permissions(0x6666));
    if (words.contains("root-writable"))
        QFile::setPermissions(install, QFileDevice::Permissions(0x7777));
    if (words.contains("folder-writable"))
        QFile::setPermissions(folder, QFileDevice::Permissions(0x7777));
    const bool users =
        words.contains("folder-nobody") || words.contains("through-link") || words.contains("link-via-user");
    if (!users)
        return true;
    if (!isRoot() || !testUsers().ready)
        return false;
    const passwd* owner = ::getpwnam(testUsers().owner.toLocal8Bit().constData());
    if (words.contains("folder-nobody"))
        return ::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0;
    const QByteArray h = QFile::encodeName(home);
    if (::chown(h.constData(), owner->pw_uid, owner->pw_gid) != 0)
        return false;
    if (words.contains("through-link")) {
        const QByteArray link = h + "/cc";
        return ::symlink(QFile::encodeName(install).constData(), link.constData()) == 0
               && ::lchown(link.constData(), owner->pw_uid, owner->pw_gid) == 0;
    }
    // The link in the folder is root's, the folder it lies in the co-user's.
    const QByteArray via = h + "/platforms";
    QDir().mkpath(folder);
    return ::symlink(QFile::encodeName(QLibraryInfo::location(QLibraryInfo::PluginsPath) + "/platforms").constData(),
                     via.constData())
               == 0
           && QFile::link(home + "/platforms", platforms);
}

} // namespace

void tst_dialog::pluginFolder()
{
    QFETCH(QString, setup);
    QFETCH(bool, used);
    QFETCH(QString, said);
    const QStringList words = setup.split(' ', Qt::SkipEmptyParts);
#ifndef Q_OS_WIN
    if (setup.contains("acl-") || setup.contains("inject-"))
        QSKIP("a Windows access list");
#endif
    for (const char* linux : {"system-link", "xcb-only", "windows-only", "plugin-writable", "root-writable",
                              "folder-writable", "folder-nobody", "through-link", "link-via-user", "foreign-xcb"})
        if (words.contains(linux))
            NC_LINUX_ONLY("Linux owners, modes, links or the X11 plug-in");
    const QStringList defaults = QCoreApplication::libraryPaths();
    QTemporaryDir install, home;
    ::chmod(QFile::encodeName(home.path()).constData(), 0755);
    const QString folder = install.path() + "/SYS/windows/lib";
    NC_REQUIRE(makeInstallation(words, install.path(), home.path()),
               QStringLiteral("needs root and throw-away users (package passwd), and the toolkit's offscreen and X11 "
                              "plug-ins"));
#ifdef Q_OS_WIN
    if (words.contains("acl-world-write"))
        NC_REQUIRE(letEveryoneWrite(folder + "/platforms/" + platformPluginName("offscreen")),
                   QStringLiteral("a DACL set with SetNamedSecurityInfoW that the system keeps"));
    if (words.contains("inject-link")) {
        // What a symbolic link there leads the loader to, as the system names it.
        const QString elsewhere = QFileInfo(home.path()).canonicalFilePath() + "/" + platformPluginName("offscreen");
        setPathReader([elsewhere](HANDLE h) {
            const QString path = systemPath(h);
            return path.endsWith("/platforms/" + platformPluginName("offscreen"), Qt::CaseInsensitive) ? elsewhere
                                                                                                       : path;
        });
    }
    for (const QString& word : words)
        if (word.startsWith("inject-"))
            injectSecurity(word, install.path());
    auto restore = qScopeGuard([] {
        setSecurityReader(securityReader());
        setPathReader(pathReader());
    });
#endif
    const QByteArray savedRoot = qgetenv("CC_ROOT");
    const QByteArray savedSystem = qgetenv("CC_SYSTEM");
    qputenv("CC_ROOT", QFile::encodeName(words.contains("through-link") ? home.path() + "/cc" : install.path()));
    if (words.contains("no-system"))
        qunsetenv("CC_SYSTEM");
    else
        qputenv("CC_SYSTEM", "SYS");
    debugCapture capture;
    const QString result = useInstallationPlugins();
#ifdef Q_OS_WIN
    // While the folder is used, what was checked cannot be moved away; once
    // let go, it can.
    const std::wstring checked =
        QDir::toNativeSeparators(folder + "/platforms/" + platformPluginName("offscreen")).toStdWString();
    const std::wstring aside = checked + L"-aside";
    const bool movedWhileHeld = MoveFileW(checked.c_str(), aside.c_str());
    if (movedWhileHeld)
        MoveFileW(aside.c_str(), checked.c_str());
    releaseCheckedFolder();
    const bool movedOnceLetGo = MoveFileW(checked.c_str(), aside.c_str()) && MoveFileW(aside.c_str(), checked.c_str());
#endif
    releaseCheckedFolder(); // so that the row's folders can go
    // What the Windows start-up counts on in the toolkit's own folders too:
    // a plug-in that cannot be loaded serves nothing.
    const QStringList served = platformPluginsIn(folder + "/platforms");
    const QStringList paths = QCoreApplication::libraryPaths();
    QCoreApplication::setLibraryPaths(defaults);
    qputenv("CC_ROOT", savedRoot);
    qputenv("CC_SYSTEM", savedSystem);

    if (used) {
        // As the system names it, with no link on the way.
        const QString resolved = QFileInfo(folder).canonicalFilePath();
        QCOMPARE(result, resolved);
        QCOMPARE(paths, QStringList{resolved});
#ifdef Q_OS_WIN
        QVERIFY2(!movedWhileHeld, "the checked folder was moved away while used");
        QVERIFY(movedOnceLetGo);
#endif
    } else {
        QVERIFY(result.isEmpty());
        QCOMPARE(paths, defaults);
        const QString debug = capture.texts().join('\n');
        QVERIFY2(debug.contains(said), qPrintable(debug));
        if (!words.contains("no-system") && !words.contains("through-link"))
            QVERIFY2(QDir::fromNativeSeparators(debug).contains(folder), qPrintable(debug));
    }
    if (words.contains("plugin"))
        QVERIFY2(served.contains("offscreen"), qPrintable(served.join(' ')));
    for (const char* patch : {"foreign", "old-toolkit", "missing-library", "cut"})
        if (words.contains(patch))
            QVERIFY2(served.isEmpty(), qPrintable(served.join(' ')));
}

// The headers of real ELF and PE files, as built and patched, on either
// system: what decides whether a plug-in can be loaded here.
void tst_dialog::binaryHeaders_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("patch");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("machine");
    QTest::addColumn<bool>("neededRead");
    QTest::addColumn<QStringList>("needed"); // the first of the file's needed libraries, in order
    const QString elf = "/usr/lib/x86_64-linux-gnu/qt5/plugins/platforms/libqoffscreen.so";
    const QString pe64 = "/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++-6.dll";
    const QString pe32 = "/usr/lib/gcc/i686-w64-mingw32/12-posix/libstdc++-6.dll";
    const QStringList elfNeeds{"libglib-2.0.so.0", "libfontconfig.so.1", "libfreetype.so.6", "libQt5Gui.so.5",
                               "libQt5Core.so.5"};
    const QStringList mingwNeeds{"KERNEL32.dll", "msvcrt.dll", "libwinpthread-1.dll"};
    QTest::newRow("ELF: the offscreen plug-in, 64-bit x86-64, its DT_NEEDED names")
        << elf << "" << int(binaryImage::elf) << "64-bit x86-64" << true << elfNeeds;
    QTest::newRow("ELF patched to class 32 and e_machine 3: 32-bit x86")
        << elf << "foreign" << int(binaryImage::elf) << "32-bit x86" << false << QStringList();
    QTest::newRow("ELF cut after its header: the machine, no needed names")
        << elf << "head 64" << int(binaryImage::elf) << "64-bit x86-64" << false << QStringList();
    QTest::newRow("ELF cut inside its dynamic segment: needed names not read")
        << elf << "head 4096" << int(binaryImage::elf) << "64-bit x86-64" << false << QStringList();
    QTest::newRow("PE32+: MinGW's 64-bit C++ runtime, x86-64, its imports")
        << pe64 << "" << int(binaryImage::pe) << "64-bit x86-64" << true
        << (QStringList{"libgcc_s_seh-1.dll"} + mingwNeeds);
    QTest::newRow("PE32: MinGW's 32-bit C++ runtime, x86, its imports")
        << pe32 << "" << int(binaryImage::pe) << "32-bit x86" << true << (QStringList{"libgcc_s_dw2-1.dll"} + mingwNeeds);
    QTest::newRow("PE Machine patched to 0x14c: 32-bit x86")
        << pe64 << "foreign" << int(binaryImage::pe) << "32-bit x86" << true
        << (QStringList{"libgcc_s_seh-1.dll"} + mingwNeeds);
    QTest::newRow("PE cut after its headers: the machine, no imports")
        << pe64 << "head 1024" << int(binaryImage::pe) << "64-bit x86-64" << false << QStringList();
    QTest::newRow("\"MZ\" alone: neither") << "" << "MZ" << int(binaryImage::none) << "" << false << QStringList();
    QTest::newRow("text: neither") << "" << "text" << int(binaryImage::none) << "" << false << QStringList();
}

void tst_dialog::binaryHeaders()
{
    QFETCH(QString, file);
    QFETCH(QString, patch);
    QFETCH(int, kind);
    QFETCH(QString, machine);
    QFETCH(bool, neededRead);
    QFETCH(QStringList, needed);
    QByteArray bytes = patch == "MZ" ? QByteArray("MZ") : QByteArray("#!/bin/sh\n");
    if (!file.isEmpty()) {
        bytes = readBytes(file);
        NC_REQUIRE(!bytes.isEmpty(), file + " (Debian's qtbase5 and MinGW-w64 packages)");
    }
    if (patch == "foreign")
        bytes = asForeignMachine(bytes);
    else if (patch.startsWith("head "))
        bytes = bytes.left(patch.section(' ', 1).toInt());
    const binaryImage image = readBinaryImage(bytes);
    QCOMPARE(int(image.kind), kind);
    if (kind != binaryImage::none)
        QCOMPARE(machineText(image), machine);
    QCOMPARE(image.neededRead, neededRead);
    QCOMPARE(image.needed.mid(0, needed.size()), needed);
    // The same file, as is, serves its own kind of program only.
    if (kind != binaryImage::none && patch.isEmpty()) {
        binaryImage other = image;
        other.bits = image.bits == 64 ? 32 : 64;
        QVERIFY(sameMachine(image, image).ok());
        QCOMPARE(sameMachine(image, other).what(), outcome::unsupported);
    }
}

// Whoever runs the tool can silence its debug lines, and only those, with
// the toolkit's logging rules.
void tst_dialog::debugLinesInOwnCategory_data()
{
    QTest::addColumn<QString>("rules");
    QTest::addColumn<bool>("shown");
    QTest::newRow("no rules: every line, in the nicChooser category") << "" << true;
    QTest::newRow("nicChooser.debug=false silences them") << "nicChooser.debug=false" << false;
    QTest::newRow("silencing the toolkit's lines leaves them") << "qt.*.debug=false\ndefault.debug=false" << true;
}

void tst_dialog::debugLinesInOwnCategory()
{
    QFETCH(QString, rules);
    QFETCH(bool, shown);
    QLoggingCategory::setFilterRules(rules);
    debugCapture capture;
    QByteArray out;
    const outcome r = rewriteOsplConfig("<OpenSplice><General>", "10.1.1.1", delve, &out);
    QLoggingCategory::setFilterRules(QString());
    QCOMPARE(r.what(), outcome::malformed);
    if (!shown) {
        QVERIFY2(capture.lines().empty(), qPrintable(capture.texts().join('\n')));
        return;
    }
    QVERIFY(!capture.lines().empty());
    for (const debugCapture::line& l : capture.lines())
        QCOMPARE(l.category, QString("nicChooser"));
    QVERIFY2(capture.texts().join('\n').contains("QoS file is not well-formed XML"),
             qPrintable(capture.texts().join('\n')));
}

// The executable's path as GetModuleFileNameW documents its answer: a name
// that does not fit is cut to the buffer's size (its terminator among it)
// and the call returns that size, with ERROR_INSUFFICIENT_BUFFER.
void tst_dialog::moduleName_data()
{
    QTest::addColumn<int>("length"); // of the name; -1: the call fails
    QTest::newRow("a name of 259 characters: the first buffer holds it") << 259;
    QTest::newRow("a name of 260 characters, cut to 259 and the call returning nSize: asked again, read whole")
        << 260;
    QTest::newRow("a name of 300 characters below a long installation path: asked again, read whole") << 300;
    QTest::newRow("a name of 5000 characters: the buffer grows until it fits") << 5000;
    QTest::newRow("a name past 32767 characters: no name rather than a cut one") << 40000;
    QTest::newRow("the call fails, returning 0: no name") << -1;
}

void tst_dialog::moduleName()
{
#ifndef Q_OS_WIN
    QSKIP("the buffer GetModuleFileNameW fills is Windows'; Linux reads /proc/self/exe");
#else
    QFETCH(int, length);
    QString name = QStringLiteral("C:\\");
    while (name.size() < length)
        name += QString::fromUtf8("\xCE\xA9\xE6\xBC\xA2-folder\\").left(length - name.size());
    int calls = 0;
    const QString got = wholeModuleName([&](wchar_t* buffer, DWORD size) -> DWORD {
        ++calls;
        if (length < 0)
            return 0;
        const DWORD copied = qMin<DWORD>(DWORD(length), size - 1);
        name.left(int(copied)).toWCharArray(buffer);
        buffer[copied] = L'\0';
        if (DWORD(length) < size)
            return DWORD(length);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    });
    if (length < 0 || length > 32767) {
        QVERIFY2(got.isEmpty(), qPrintable(got.left(40)));
        return;
    }
    QCOMPARE(got, name);
    QVERIFY(calls >= (length < 260 ? 1 : 2));
    // And the real call gives this program's own path, as the toolkit has it.
    QCOMPARE(QDir::fromNativeSeparators(modulePath()), QCoreApplication::applicationFilePath());
#endif
}

// The HTML Help control runs in the process: it must be the system's, not
// whatever lies beside the executable (planted there in initTestCase).
void tst_dialog::helpLibrary()
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

// Which standard handles a GUI program started from a console leaves alone
// (joinStartingConsole): the real handles, made here.
void tst_dialog::standardHandles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("leads");
    QTest::newRow("NULL, as GetStdHandle gives a program that has no standard handles") << "null" << false;
    QTest::newRow("INVALID_HANDLE_VALUE, as GetStdHandle gives on failure") << "invalid" << false;
    QTest::newRow("a value naming nothing in this process, as a console's handles handed down to a GUI program")
        << "stale" << false;
    QTest::newRow("a file, as \"> FILE\" redirects to") << "file" << true;
    QTest::newRow("a pipe, as a script reading the output holds") << "pipe" << true;
    QTest::newRow("the NUL device, as \"> NUL\" redirects to") << "nul" << true;
}

void tst_dialog::standardHandles()
{
#ifndef Q_OS_WIN
    QSKIP("the standard handles of a Windows GUI program; here a program's streams are those it gets");
#else
    QFETCH(QString, kind);
    QFETCH(bool, leads);
    HANDLE handle = nullptr, other = nullptr;
    if (kind == "invalid")
        handle = INVALID_HANDLE_VALUE;
    else if (kind == "stale")
        handle = reinterpret_cast<HANDLE>(quintptr(0xfff4)); // far above any handle this process holds
    else if (kind == "file")
        handle = CreateFileW(reinterpret_cast<const wchar_t*>(root.filePath("out.txt").utf16()), GENERIC_WRITE, 0,
                             nullptr, CREATE_ALWAYS, 0, nullptr);
    else if (kind == "pipe")
        QVERIFY(CreatePipe(&other, &handle, nullptr, 0));
    else if (kind == "nul")
        handle = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (leads)
        QVERIFY(handle != nullptr && handle != INVALID_HANDLE_VALUE);
    QCOMPARE(handleLeadsSomewhere(handle), leads);
    if (leads)
        CloseHandle(handle);
    if (other)
        CloseHandle(other);
#endif
}

QTEST_MAIN(tst_dialog)
#include "tst_dialog.moc"
