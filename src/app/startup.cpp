#include "app/startup.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include "app/configuration.h"
#include "app/singleinstancechecker.h"
#include "app/updateengine.h"
#include "ui/banner.h"
#include "ui/mainwindow.h"

namespace {
// The message that asks a running updater to come to the front.
const QString activateMessage = QStringLiteral("#");
}

Startup::Startup(QApplication& app, const QStringList& arguments)
    : bannerHost(Banner::BANNER_SERVER)
    , bannerPort(Banner::BannerPort)
    , app(app)
    , arguments(arguments)
{
}

int Startup::run()
{
    // An earlier run that replaced one of the updater's own files (it was in
    // use then) left its "_old_" copy beside it; now it can go.
    const QString root = Configuration::getAppRootPath();
    UpdateEngine::removeOldFiles(root);
    UpdateEngine::removeOldFiles(root + QStringLiteral("/imageformats"));
    UpdateEngine::removeOldFiles(root + QStringLiteral("/accessible"));

    // One updater per installation and user: if one runs, it comes to the
    // front and we are done.
    if (SingleInstanceChecker::checkExistingInstance(activateMessage))
        return 0;

    // The updater's own texts and the toolkit's (message box buttons and
    // the like). A missing catalogue leaves the texts in English. The
    // toolkit's catalogue is looked for below the working directory.
    const QString localeName = QLocale::system().name();
    QTranslator updateTranslator;
    QTranslator qtTranslator;
    (void)updateTranslator.load(QStringLiteral(":/i18n/update_") + localeName);
    (void)qtTranslator.load(QStringLiteral("translations/qt_") + localeName);
    app.installTranslator(&updateTranslator);
    app.installTranslator(&qtTranslator);

    Configuration configuration;
    if (configurationCreated)
        configurationCreated(configuration);

    // The window shows the configuration's fatal errors from here on, also
    // those of the command line below.
    MainWindow window(configuration, bannerHost, bannerPort);

    // Whatever went wrong has been shown already.
    if (!configuration.parseCommandLineOptions(arguments))
        return 1;

    if (configuration.startMode == Configuration::StartModeNoUser)
        QTimer::singleShot(autoStartDelayMs, &window, SLOT(onAutoStartUpdate()));

    window.setUIToConfigSpecs();
    window.show();
    if (windowShown)
        windowShown(window);
    return app.exec();
}
