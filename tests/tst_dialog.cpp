#include "helpDisplay.h"
#include "modulePath.h"
#include "nicChooser.h"
#include "messageBoxes.h"
#include "helpFilePatches.h"
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
    void helpWindowOnceWithNavigation();
    void fatalWithoutVariable_data();
    void fatalWithoutVariable();
    void debugLinesInOwnCategory_data();
    void debugLinesInOwnCategory();

private:
    QTemporaryDir root;
};

void tst_dialog::initTestCase()
{
    qputenv("CC_ROOT", QFile::encodeName(root.path()));
    qputenv("CC_SYSTEM", "SYS");
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

QTEST_MAIN(tst_dialog)
#include "tst_dialog.moc"
