// The tool's own form with one row, shown and closed on a 1 ms timer, with
// none of the tool's work: what the toolkit costs to show this dialog's text,
// table and buttons, linked against the same libraries as the tool.
#include "ui_nicChooser.h"

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QTreeWidgetItem>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QDialog dialog;
    Ui_nicChooserClass ui;
    ui.setupUi(&dialog);
    new QTreeWidgetItem(ui.treeAdapters, QStringList{"nb0", "10.66.0.1", "nb0"});
    dialog.show();
    QTimer::singleShot(1, &dialog, &QDialog::close);
    return app.exec();
}
