#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class Configuration;
class MainWindow;
class QApplication;

// The updater's start-up sequence, from the removal of leftover backups to
// the end of the event loop. main() creates the application object and
// hands it over; the result is the process's exit code:
//   0  normal end, or another updater of this installation and user runs
//      (it has been asked to come to the front),
//   1  the start parameters or the configuration failed,
//   2  a fatal error of the update engine.
class Startup
{
public:
    // How long after showing the window a start with "--nouser" begins the
    // update by itself.
    static constexpr int AutoStartDelayMs = 2000;

    // The arguments are the command line including the program itself,
    // normally QCoreApplication::arguments().
    Startup(QApplication& app, const QStringList& arguments);

    // Called with the freshly created configuration, before anything reads
    // it. Tests use it to point the version query at a local responder.
    std::function<void(Configuration&)> configurationCreated;
    // Called once the window is shown, just before the event loop runs.
    std::function<void(MainWindow&)> windowShown;

    // Tests shorten the automatic start and point the banner query at a
    // local service.
    int autoStartDelayMs = AutoStartDelayMs;
    QString bannerHost;
    quint16 bannerPort;

    int run();

private:
    QApplication& app;
    QStringList arguments;
};
