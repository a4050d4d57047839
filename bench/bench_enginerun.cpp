// Runs one update of an installation with the engine alone, without the
// window: the same run as "update --nouser", for comparing what the window
// costs. Usage: bench_enginerun INSTALLATION_DIR
#include "app/configuration.h"
#include "app/updateengine.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_enginerun INSTALLATION_DIR\n");
        return 2;
    }
    Configuration::setAppRootPath(QString::fromLocal8Bit(argv[1]));

    Configuration configuration;
    UpdateEngine engine(configuration);
    QObject::connect(&engine, &UpdateEngine::fatalError, &app, [] { QCoreApplication::exit(2); });
    QObject::connect(&engine, &UpdateEngine::updateCanceled, &app, [] { QCoreApplication::exit(1); });
    // Like the window, stay alive after success until told to end.
    if (!configuration.parseCommandLineOptions({QStringLiteral("update"), QStringLiteral("--nouser")}))
        return 1;
    if (!engine.initialize())
        return 2;
    engine.startUpdate();
    return app.exec();
}
