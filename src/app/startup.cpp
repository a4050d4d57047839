#include "app/startup.h"

#include <QApplication>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>

#include "app/configuration.h"
#include "app/updateengine.h"

Startup::Startup(QApplication& app, const QStringList& arguments)
    : app(app)
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

    // There is no window yet to show a fatal configuration error, so show it
    // here, before anything else is visible.
    QObject::connect(&configuration, &Configuration::fatalError, &configuration,
                     [](const QString& errorMessage) {
                         QMessageBox::critical(nullptr, QObject::tr("Error"), errorMessage);
                     });

    // Whatever went wrong has been shown already.
    if (!configuration.parseCommandLineOptions(arguments))
        return 1;

    return 0;
}
