// Runs inside the namespace built by in-netns.sh, so the rows are known.
#include "nicChooser.h"
#include "messageBoxes.h"
#include "testSupport.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <unistd.h>

#include "fileReplace.h"

class tst_nicChooser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void rowsAndRejectedInterfaces();
    void storedRowPreselected_data();
    void storedRowPreselected();
    void okFollowsSelection();
    void okStoresHighlightedRow_data();
    void okStoresHighlightedRow();
    void cancelWritesNothing();
    void lockHeldWhileStoring_data();
    void lockHeldWhileStoring();

private:
    QTreeWidget* tree(nicChooser& d) { return d.findChild<QTreeWidget*>("treeAdapters"); }
    QPushButton* ok(nicChooser& d) { return d.findChild<QPushButton*>("okButton"); }
    QString iniPath() const { return root->filePath("local_settings.ini"); }
    QString osplPath() const { return root->filePath("SYS/config/dds/ospl.xml"); }
    std::unique_ptr<QTemporaryDir> root;
    const QByteArray ospl = testData("ospl/adlink-etc-ospl_ddsi2.xml");
};

void tst_nicChooser::initTestCase()
{
    NC_REQUIRE(layout::inside(), QStringLiteral("run through in-netns.sh, which builds the known interfaces"));
}

void tst_nicChooser::init()
{
    root.reset(new QTemporaryDir);
    qputenv("CC_ROOT", QFile::encodeName(root->path()));
    qputenv("CC_SYSTEM", "SYS");
    QDir().mkpath(root->filePath("SYS/config/dds"));
    writeBytes(osplPath(), ospl);
}

void tst_nicChooser::rowsAndRejectedInterfaces()
{
    NC_LINUX_ONLY("Wine reports every interface that is up as running and able to multicast (ncnomc among them), so "
                  "which rows are listed is judged on Linux");
    debugCapture capture;
    nicChooser dialog;
    QTreeWidget* t = tree(dialog);
    QCOMPARE(size_t(t->topLevelItemCount()), layout::rows().size());
    for (int i = 0; i < t->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = t->topLevelItem(i);
        QCOMPARE((QStringList{item->text(0), item->text(1), item->text(2)}), layout::rows()[size_t(i)]);
    }
    QStringList rejected;
    for (const QString& line : capture.texts())
        if (line.endsWith(" : interface can't multicast!"))
            rejected << line;
    QStringList expected;
    for (const QString& name : layout::rejected())
        expected << "\"" + name + "\" : interface can't multicast!";
    rejected.sort();
    expected.sort();
    QCOMPARE(rejected, expected);
}

void tst_nicChooser::storedRowPreselected_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("selected");
    QTest::addColumn<QString>("status"); // the line under the table
    QTest::newRow("second address of nc0")
        << QByteArray("[xDS]\r\nbindAddress=10.77.1.2\r\nAdaptor=nc0\r\n") << 1 << "Stored: 10.77.1.2 on nc0.";
    QTest::newRow("names in other case") << QByteArray("[XDS]\nBINDADDRESS=10.77.4.1\nadaptor=nc1\n") << 2
                                         << "Stored: 10.77.4.1 on nc1.";
    QTest::newRow("address moved to another interface")
        << QByteArray("[xDS]\nbindAddress=10.77.4.1\nAdaptor=nc0\n") << -1
        << "Stored: 10.77.4.1 on nc0; 10.77.4.1 is here, but on nc1.";
    QTest::newRow("interface gone") << QByteArray("[xDS]\nbindAddress=10.77.1.1\nAdaptor=eth9\n") << -1
                                    << "Stored: 10.77.1.1 on eth9; 10.77.1.1 is here, but on nc0.";
    QTest::newRow("address on interface that cannot multicast")
        << QByteArray("[xDS]\nbindAddress=10.77.2.1\nAdaptor=ncnomc\n") << -1
        << "Stored: 10.77.2.1 on ncnomc, not on this machine.";
    QTest::newRow("no settings file") << QByteArray() << -1 << "Nothing stored yet.";
    QTest::newRow("settings file that cannot be read") << QByteArray("\xFF\xFE[\0x\0]", 7) << -1
                                                       << "The settings file cannot be read: it is UTF-16 with an odd "
                                                          "number of bytes, so its last character is broken.";
}

void tst_nicChooser::storedRowPreselected()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, selected);
    QFETCH(QString, status);
    if (QByteArray(QTest::currentDataTag()) == "address on interface that cannot multicast")
        NC_LINUX_ONLY("Wine reports every interface that is up as able to multicast, ncnomc too");
    ini = withIds(ini);
    status = withIds(status);
    if (!ini.isEmpty())
        writeBytes(iniPath(), ini);
    nicChooser dialog;
    QTreeWidget* t = tree(dialog);
    const QList<QTreeWidgetItem*> sel = t->selectedItems();
    if (selected < 0) {
        QVERIFY(sel.isEmpty());
        QVERIFY(!ok(dialog)->isEnabled());
    } else {
        QCOMPARE(sel.size(), 1);
        QCOMPARE(t->indexOfTopLevelItem(sel.first()), selected);
        QVERIFY(ok(dialog)->isEnabled());
        QCOMPARE(t->currentItem(), sel.first()); // current too, so that Ok stores it
    }
    QCOMPARE(dialog.findChild<QLabel*>("statusLabel")->text(), status);
    QCOMPARE(ini.isEmpty() ? QByteArray() : readBytes(iniPath()), ini); // reading never writes
}

void tst_nicChooser::okFollowsSelection()
{
    nicChooser dialog;
    dialog.show();
    QTreeWidget* t = tree(dialog);
    QVERIFY(!ok(dialog)->isEnabled());
    // Selected but not current: Ok would store nothing, so it stays off.
    t->topLevelItem(2)->setSelected(true);
    QVERIFY(!ok(dialog)->isEnabled());
    QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, t->visualItemRect(t->topLevelItem(0)).center());
    QVERIFY(ok(dialog)->isEnabled());
    t->clearSelection();
    QVERIFY(!ok(dialog)->isEnabled());
    t->setCurrentItem(t->topLevelItem(1));
    QVERIFY(ok(dialog)->isEnabled());
    // Ctrl-click on the highlighted row clears it and leaves it current.
    QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      t->visualItemRect(t->topLevelItem(1)).center());
    QCOMPARE(t->indexOfTopLevelItem(t->currentItem()), 1);
    QVERIFY(!ok(dialog)->isEnabled());
}

// What Ok stores is the row the operator sees highlighted, however it got
// there; what a failure or F1 shows; and what the exit status will tell.
void tst_nicChooser::okStoresHighlightedRow_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QString>("box"); // the title of the box that must appear, if any
    QTest::addColumn<int>("status");

    // Blanks around '=' show which lines were written.
    const QByteArray stored("; site file\r\n[xDS]\r\nbindAddress = 10.77.1.2\r\nAdaptor = nc0\r\n[Other]\r\nk=v\r\n");
    const QByteArray row0("; site file\r\n[xDS]\r\nbindAddress=10.77.1.1\r\nAdaptor = nc0\r\n[Other]\r\nk=v\r\n");
    const QByteArray row2("; site file\r\n[xDS]\r\nbindAddress=10.77.4.1\r\nAdaptor=nc1\r\n[Other]\r\nk=v\r\n");
    const QString none;
    // The stored row holds what the file says: stored again, it is not rewritten.
    QTest::newRow("pre-selected row, Ok after the table took focus")
        << stored << "focus ok" << true << stored << none << 0;
    QTest::newRow("another row clicked") << stored << "click 2, ok" << true << row2 << none << 0;
    QTest::newRow("Enter on a chosen row") << stored << "up, enter" << true << row0 << none << 0;
    QTest::newRow("double-click on a row") << stored << "double-click 2" << true << row2 << none << 0;
    QTest::newRow("highlight cleared with Ctrl-click") << stored << "ctrl-click 1, ok" << false << stored << none << 0;
    QTest::newRow("highlight cleared by a Ctrl-double-click")
        << stored << "ctrl-double-click 1" << false << stored << none << 0;
    // Created with the line ends of the platform's own settings files; the
    // status line says so, for whoever looks (the dialog has closed when it
    // went well, and stays open when the DDS configuration then fails).
    QTest::newRow("no settings file: created, and the status line says so")
        << QByteArray() << "no file, click 2, ok" << true
        << QByteArray("[xDS]\r\nbindAddress=10.77.4.1\r\nAdaptor=nc1\r\n") << none << 0;
    // The focus frame is on the first row, nothing highlighted: the first
    // arrow key highlights that row, the next one moves on.
    QTest::newRow("nothing stored, first Down highlights the framed row")
        << QByteArray("[xDS]\r\n") << "down, enter" << true
        << QByteArray("[xDS]\r\nbindAddress=10.77.1.1\r\nAdaptor=nc0\r\n") << none << 0;
    QTest::newRow("nothing stored, first Up highlights the framed row")
        << QByteArray("[xDS]\r\n") << "up, enter" << true
        << QByteArray("[xDS]\r\nbindAddress=10.77.1.1\r\nAdaptor=nc0\r\n") << none << 0;
    QTest::newRow("nothing stored, Down twice moves on to the next row")
        << QByteArray("[xDS]\r\n") << "down, down, enter" << true
        << QByteArray("[xDS]\r\nbindAddress=10.77.1.2\r\nAdaptor=nc0\r\n") << none << 0;
    QTest::newRow("nothing stored, nothing chosen")
        << QByteArray("[xDS]\r\n") << "focus ok" << false << QByteArray("[xDS]\r\n") << none << 0;
    QTest::newRow("read-only settings file: told, the dialog stays")
        << stored << "read-only, up, enter" << false << stored << "nicChooser: Not stored" << 3;
    // A co-user's link whose text holds a line break and a line of its own:
    // shown on one line, in the box and on the status line alike.
    QTest::newRow("a link text forging a line: told on one line, the dialog stays")
        << stored << "forged-link, click 2, ok" << false << QByteArray() << "nicChooser: Not stored" << 3;
    // No help file lies beside this test program, so help explains that.
    QTest::newRow("F1 asks for help wherever the focus is") << stored << "f1" << false << stored << "Ooops" << 0;
    QTest::newRow("Enter on the focused Help button asks for help")
        << stored << "tab, enter" << false << stored << "Ooops" << 0;
}

void tst_nicChooser::okStoresHighlightedRow()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, action);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, after);
    QFETCH(QString, box);
    QFETCH(int, status);
    before = withIds(before);
    after = withIds(after);
    if (!before.isNull())
        writeBytes(iniPath(), before);
    if (action.startsWith("read-only"))
        QVERIFY(QFile::setPermissions(iniPath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    const QByteArray forged = "missing\nnicChooser: stored 10.99.1.1 on v0. All good.";
    if (action.startsWith("forged-link")) {
        NC_LINUX_ONLY("a co-user's symbolic link is a Linux row");
        NC_REQUIRE(isRoot(), QStringLiteral("giving a link to another user needs root"));
        const QByteArray link = QFile::encodeName(iniPath());
        QVERIFY(QFile::remove(iniPath()));
        QCOMPARE(::symlink(forged.constData(), link.constData()), 0);
        QCOMPARE(::lchown(link.constData(), 65534, 65534), 0);
    }
    nicChooser dialog;
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QSignalSpy done(&dialog, &QDialog::accepted);
    boxWatcher boxes;
    QTreeWidget* t = tree(dialog);
    auto rowCenter = [t](int row) { return t->visualItemRect(t->topLevelItem(row)).center(); };
    if (action == "focus ok") {
        t->setFocus();
        QTest::mouseClick(ok(dialog), Qt::LeftButton);
    } else if (action.endsWith(", click 2, ok") || action == "click 2, ok") {
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, rowCenter(2));
        QTest::mouseClick(ok(dialog), Qt::LeftButton);
    } else if (action.endsWith("up, enter")) {
        t->setFocus();
        QTest::keyClick(t, Qt::Key_Up);
        QTest::keyClick(t, Qt::Key_Return);
    } else if (action == "down, enter" || action == "down, down, enter") {
        t->setFocus();
        for (int i = action.count("down"); i > 0; --i)
            QTest::keyClick(t, Qt::Key_Down);
        QTest::keyClick(t, Qt::Key_Return);
    } else if (action == "double-click 2") {
        // A real double-click starts with a press and release.
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, rowCenter(2));
        QTest::mouseDClick(t->viewport(), Qt::LeftButton, {}, rowCenter(2));
    } else if (action == "ctrl-double-click 1") {
        QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCenter(1));
        QTest::mouseDClick(t->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCenter(1));
    } else if (action == "ctrl-click 1, ok") {
        QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCenter(1));
        QTest::mouseClick(ok(dialog), Qt::LeftButton);
    } else if (action == "tab, enter") {
        t->setFocus();
        QTest::keyClick(t, Qt::Key_Tab);
        QVERIFY(dialog.findChild<QPushButton*>("helpButton")->hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    } else if (action == "f1") {
        ok(dialog)->setFocus();
        QTest::keyClick(ok(dialog), Qt::Key_F1);
    }
    QTRY_COMPARE_WITH_TIMEOUT(boxes.titles(), box.isEmpty() ? QStringList() : QStringList{box}, 1000);
    if (action.startsWith("forged-link")) {
        const QString escaped = QString::fromUtf8(forged).replace('\n', "\\n");
        const QString line = dialog.findChild<QLabel*>("statusLabel")->text();
        for (const QString& shown : {boxes.texts().value(0), line}) {
            QVERIFY2(shown.contains(escaped), qPrintable(shown));
            QVERIFY2(!shown.contains(QString::fromUtf8(forged)), qPrintable(shown));
        }
    }
    const QString created = " The settings file " + QDir::toNativeSeparators(iniPath()) + " did not exist and was created.";
    QCOMPARE(dialog.findChild<QLabel*>("statusLabel")->text().endsWith(created), before.isNull());
    QCOMPARE(done.count(), accepted ? 1 : 0);
    QCOMPARE(dialog.isVisible(), !accepted);
    QCOMPARE(readBytes(iniPath()), after);
    QCOMPARE(dialog.exitCode(), status);
    QCOMPARE(readBytes(osplPath()), ospl); // no /ospl on this command line
}

void tst_nicChooser::cancelWritesNothing()
{
    nicChooser dialog;
    dialog.show();
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    tree(dialog)->setCurrentItem(tree(dialog)->topLevelItem(0));
    QTest::mouseClick(dialog.findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
    QCOMPARE(rejected.count(), 1);
    QVERIFY(!QFile::exists(iniPath()));
    QCOMPARE(readBytes(osplPath()), ospl);
}

// Another writer holds the settings file when Ok is pressed: the dialog
// waits without freezing, says for whom, and the operator may give up.
void tst_nicChooser::lockHeldWhileStoring_data()
{
    QTest::addColumn<QString>("during"); // what happens while the dialog waits
    QTest::addColumn<bool>("stored");
    QTest::newRow("Cancel while waiting: nothing written, status 0") << "cancel" << false;
    QTest::newRow("Escape while waiting: nothing written, status 0") << "escape" << false;
    QTest::newRow("the other writer finishes: stored") << "release" << true;
}

void tst_nicChooser::lockHeldWhileStoring()
{
    QFETCH(QString, during);
    QFETCH(bool, stored);
    const QByteArray before = withIds(QByteArray("[xDS]\r\nbindAddress=10.77.1.2\r\nAdaptor=nc0\r\n"));
    writeBytes(iniPath(), before);
    // Another writer: an edit of the settings file, holding the writers' lock until it is let go.
    auto holder = std::make_unique<fileEdit>(iniPath());
    QVERIFY2(holder->ready(), qPrintable(holder->result().reason()));
    nicChooser dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    boxWatcher boxes; // a box where none belongs is answered, so that the row fails rather than hangs
    QTreeWidget* t = tree(dialog);
    QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, t->visualItemRect(t->topLevelItem(2)).center());
    QString waiting;
    QSize grown;
    bool okOffWhileWaiting = false;
    const int widthBefore = t->width();
    // The wait runs the event loop: once the dialog says it waits, look at
    // it and widen it; once the table has followed, act.
    QTimer watch;
    int looks = 0;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString status = dialog.findChild<QLabel*>("statusLabel")->text();
        if (waiting.isEmpty()) {
            // (A limit, should the dialog never say so: the writer lets go and the comparisons below fail.)
            if (!status.startsWith("Waiting for")) {
                if (++looks == 1000)
                    holder.reset();
                return;
            }
            looks = 0;
            waiting = status;
            okOffWhileWaiting = !ok(dialog)->isEnabled();
            dialog.resize(dialog.width() + 40, dialog.height());
            return;
        }
        // (A limit, should the table never follow: the comparison below then fails.)
        if (t->width() != widthBefore + 40 && ++looks < 500)
            return;
        watch.stop();
        grown = t->size();
        if (during == "cancel")
            QTest::mouseClick(dialog.findChild<QPushButton*>("cancelButton"), Qt::LeftButton);
        else if (during == "escape")
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else
            holder.reset();
    });
    watch.start(10);
    QTest::mouseClick(ok(dialog), Qt::LeftButton); // returns once the wait is over
    holder.reset();
    QCOMPARE(waiting, QString("Waiting for someone who may change it (another copy of nicChooser, perhaps) to finish "
                              "with local_settings.ini; Cancel stops waiting."));
    QCOMPARE(boxes.titles(), QStringList());
    QVERIFY(okOffWhileWaiting);
    QCOMPARE(grown.width(), widthBefore + 40);
    QCOMPARE(accepted.count(), stored ? 1 : 0);
    QCOMPARE(rejected.count(), stored ? 0 : 1);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.exitCode(), int(exitDone));
    QCOMPARE(readBytes(iniPath()),
             stored ? withIds(QByteArray("[xDS]\r\nbindAddress=10.77.4.1\r\nAdaptor=nc1\r\n")) : before);
}

// The dialog takes the application's arguments for its switches and names
// the others on its status line: it gets the program's name alone, and the
// test functions and options go to the test runner, so that a row runs
// alike from ctest and by name.
int main(int argc, char** argv)
{
    int programOnly = 1;
    QApplication app(programOnly, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    tst_nicChooser test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_nicChooser.moc"
