#include "app/processtools.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include "app/configuration.h"

void ProcessTools::startKr3Client()
{
    // The path is one program name, blanks and all; it inherits our working
    // directory and environment.
    const QString program = Configuration::getAppRootPath() + QLatin1Char('/') + Configuration::getClientBinaryName();
    QProcess::startDetached(program, QStringList());
}
