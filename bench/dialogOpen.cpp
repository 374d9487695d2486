// Opens the tool's dialog once in this process and prints how long building
// and showing it took, in microseconds, and how many rows it lists: the
// interface scan, the rows, the first layout. The installation comes from CC_ROOT and CC_SYSTEM.
#include "nicChooser.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTreeWidget>

#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QElapsedTimer clock;
    clock.start();
    nicChooser dialog;
    dialog.show();
    QCoreApplication::processEvents();
    const qint64 us = clock.nsecsElapsed() / 1000;
    const auto* table = dialog.findChild<QTreeWidget*>();
    std::printf("%lld %d\n", us, table ? table->topLevelItemCount() : -1);
    return 0;
}
