#pragma once

#include <QStringList>

#include <functional>

class Configuration;
class QApplication;

// The updater's start-up sequence, from the translations to the end of the
// event loop. main() creates the application object and hands it over; the
// result is the process's exit code:
//   0  normal end,
//   1  the start parameters or the configuration failed.
class Startup
{
public:
    // The arguments are the command line including the program itself,
    // normally QCoreApplication::arguments().
    Startup(QApplication& app, const QStringList& arguments);

    // Called with the freshly created configuration, before anything reads
    // it. Tests use it to point the version query at a local responder.
    std::function<void(Configuration&)> configurationCreated;

    int run();

private:
    QApplication& app;
    QStringList arguments;
};
