#include "nicChooser.h"
#include "startup.h"

#include <QApplication>

int main(int argc, char** argv)
{
    useInstallationPlugins();
    QApplication app(argc, argv);
    nicChooser dialog;
    dialog.show();
    // The dialog's own accepted/rejected result is deliberately not passed on.
    return app.exec();
}
