// The floor for start-up: the toolkit showing one empty dialog and closing it
// on a 1 ms timer, as the tool's silent path does after its own work.
#include <QApplication>
#include <QDialog>
#include <QTimer>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QDialog dialog;
    dialog.show();
    QTimer::singleShot(1, &dialog, &QDialog::close);
    return app.exec();
}
