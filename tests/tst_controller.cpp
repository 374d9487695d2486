// Runs inside the namespace built by in-netns.sh, so the rows are known.
#include "nicChooser.h"
#include "testSupport.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTreeWidget>

class tst_controller : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void rowsAndRejectedInterfaces();
    void storedRowPreselected_data();
    void storedRowPreselected();
    void okFollowsSelection();
    void acceptWritesCurrentRowNotSelection();
    void acceptWithoutCurrentRowDoesNothing();
    void cancelWritesNothing();

private:
    QTreeWidget* tree(nicChooser& d) { return d.findChild<QTreeWidget*>("treeAdapters"); }
    QPushButton* ok(nicChooser& d) { return d.findChild<QPushButton*>("okButton"); }
    QString iniPath() const { return root->filePath("local_settings.ini"); }
    QString osplPath() const { return root->filePath("SYS/config/dds/ospl.xml"); }
    std::unique_ptr<QTemporaryDir> root;
    const QByteArray ospl = testData("ospl/adlink-etc-ospl_ddsi2.xml");
};

void tst_controller::initTestCase()
{
    NC_REQUIRE(layout::inside(), QStringLiteral("run through in-netns.sh, which builds the known interfaces"));
}

void tst_controller::init()
{
    root.reset(new QTemporaryDir);
    qputenv("CC_ROOT", QFile::encodeName(root->path()));
    qputenv("CC_SYSTEM", "SYS");
    QDir().mkpath(root->filePath("SYS/config/dds"));
    writeBytes(osplPath(), ospl);
}

void tst_controller::rowsAndRejectedInterfaces()
{
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

void tst_controller::storedRowPreselected_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("selected");
    QTest::newRow("second address of nc0") << QByteArray("[xDS]\r\nbindAddress=10.77.1.2\r\nAdaptor=nc0\r\n") << 1;
    QTest::newRow("names in other case") << QByteArray("[XDS]\nBINDADDRESS=10.77.4.1\nadaptor=nc1\n") << 2;
    QTest::newRow("address moved to another interface") << QByteArray("[xDS]\nbindAddress=10.77.4.1\nAdaptor=nc0\n") << -1;
    QTest::newRow("interface gone") << QByteArray("[xDS]\nbindAddress=10.77.1.1\nAdaptor=eth9\n") << -1;
    QTest::newRow("address on interface that cannot multicast") << QByteArray("[xDS]\nbindAddress=10.77.2.1\nAdaptor=ncnomc\n") << -1;
    QTest::newRow("no settings file") << QByteArray() << -1;
}

void tst_controller::storedRowPreselected()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, selected);
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
        QVERIFY(!t->currentItem()); // selected, not current
    }
    QCOMPARE(ini.isEmpty() ? QByteArray() : readBytes(iniPath()), ini); // reading never writes
}

void tst_controller::okFollowsSelection()
{
    nicChooser dialog;
    dialog.show();
    QTreeWidget* t = tree(dialog);
    QVERIFY(!ok(dialog)->isEnabled());
    t->topLevelItem(2)->setSelected(true);
    QVERIFY(ok(dialog)->isEnabled());
    t->clearSelection();
    QVERIFY(!ok(dialog)->isEnabled());
    QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, t->visualItemRect(t->topLevelItem(0)).center());
    QVERIFY(ok(dialog)->isEnabled());
}

void tst_controller::acceptWritesCurrentRowNotSelection()
{
    const QByteArray before("; site file\r\n[xDS]\r\nbindAddress=10.77.1.2\r\nAdaptor=nc0\r\n[Other]\r\nk=v\r\n");
    writeBytes(iniPath(), before);
    nicChooser dialog;
    dialog.show();
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    QTreeWidget* t = tree(dialog);
    QCOMPARE(t->indexOfTopLevelItem(t->selectedItems().value(0)), 1);
    // Current moves to the last row while the selection stays on the stored one.
    t->setCurrentItem(t->topLevelItem(2), 0, QItemSelectionModel::NoUpdate);
    QCOMPARE(t->indexOfTopLevelItem(t->selectedItems().value(0)), 1);
    QCOMPARE(t->indexOfTopLevelItem(t->currentItem()), 2);
    QTest::mouseClick(ok(dialog), Qt::LeftButton);
    QCOMPARE(accepted.count(), 1);
    QCOMPARE(readBytes(iniPath()),
             QByteArray("; site file\r\n[xDS]\r\nbindAddress=10.77.4.1\r\nAdaptor=nc1\r\n[Other]\r\nk=v\r\n"));
    QCOMPARE(readBytes(osplPath()), ospl); // no /ospl on this command line
}

void tst_controller::acceptWithoutCurrentRowDoesNothing()
{
    writeBytes(iniPath(), "[xDS]\nbindAddress=10.77.1.2\nAdaptor=nc0\n");
    nicChooser dialog;
    dialog.show();
    QSignalSpy finished(&dialog, &QDialog::finished);
    QVERIFY(ok(dialog)->isEnabled()); // pre-selected, yet nothing is current
    QTest::mouseClick(ok(dialog), Qt::LeftButton);
    QCOMPARE(finished.count(), 0);
    QVERIFY(dialog.isVisible());
    QCOMPARE(readBytes(iniPath()), QByteArray("[xDS]\nbindAddress=10.77.1.2\nAdaptor=nc0\n"));
}

void tst_controller::cancelWritesNothing()
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

QTEST_MAIN(tst_controller)
#include "tst_controller.moc"
