#include <QApplication>

#include "app/startup.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    Startup startup(app, QApplication::arguments());
    return startup.run();
}
