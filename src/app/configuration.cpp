#include "app/configuration.h"

#include <QCoreApplication>

namespace {
QString& appRootOverride()
{
    static QString path;
    return path;
}
}

Configuration::Configuration(QObject* parent)
    : QObject(parent)
{
}

QString Configuration::getAppRootPath()
{
    if (!appRootOverride().isEmpty())
        return appRootOverride();
    return QCoreApplication::applicationDirPath();
}

void Configuration::setAppRootPath(const QString& path)
{
    QString cleaned = path;
    while (cleaned.size() > 1 && cleaned.endsWith(QLatin1Char('/')))
        cleaned.chop(1);
    appRootOverride() = cleaned;
}

QString Configuration::getUpdateType()
{
    return QStringLiteral("client_linux_x86");
}

QString Configuration::getClientBinaryName()
{
    return QStringLiteral("kr3client_runscript.sh");
}

QStringList Configuration::getSpecialFileNames()
{
    return {
        QStringLiteral("update"),
        QStringLiteral("libQtCore.so.4"),
        QStringLiteral("libQtGui.so.4"),
        QStringLiteral("libQtNetwork.so.4"),
        QStringLiteral("libqgif.so"),
        QStringLiteral("libqjpeg.so"),
        QStringLiteral("libqtaccessiblewidgets.so"),
    };
}

const QString& Configuration::getSpecialFileRenamePrefix()
{
    static const QString prefix = QStringLiteral("_old_");
    return prefix;
}

bool Configuration::isSpecialFileName(const QString& fileName) const
{
    return getSpecialFileNames().contains(fileName, Qt::CaseSensitive);
}
