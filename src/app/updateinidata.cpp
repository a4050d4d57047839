#include "app/updateinidata.h"

#include <QFileInfo>
#include <QSettings>

#include "app/configuration.h"

namespace {
const QString CurrentGroup = QStringLiteral("current");
const QString VersionKey = QStringLiteral("current/version");
const QString DirKey = QStringLiteral("current/dir");
const QString TypeKey = QStringLiteral("current/type");
}

QString UpdateIniData::filename()
{
    return Configuration::getAppRootPath() + QStringLiteral("/update.ini");
}

bool UpdateIniData::get(int* version, QString* type, QString* dir)
{
    const QSettings settings(filename(), QSettings::IniFormat);
    bool numeric = false;
    const int recordedVersion = settings.value(VersionKey).toString().toInt(&numeric);
    const QString recordedType = settings.value(TypeKey).toString();
    const QString recordedDir = settings.value(DirKey).toString();
    if (!numeric || recordedType.isEmpty() || recordedDir.isEmpty() || !QFileInfo::exists(recordedDir))
        return false;
    if (version)
        *version = recordedVersion;
    if (type)
        *type = recordedType;
    if (dir)
        *dir = recordedDir;
    return true;
}

void UpdateIniData::modify(int version, const QString& dir, const QString& type)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.setValue(VersionKey, version);
    settings.setValue(DirKey, dir);
    settings.setValue(TypeKey, type);
}

void UpdateIniData::cleanup()
{
    QSettings settings(filename(), QSettings::IniFormat);
    if (settings.childGroups().contains(CurrentGroup))
        settings.remove(CurrentGroup);
}
