// The floor for /list: a console program of the toolkit that starts, does
// nothing and ends.
#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    return 0;
}
