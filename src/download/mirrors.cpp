#include "download/mirrors.h"

#include <QDateTime>
#include <QSettings>
#include <QStringList>
#include <QVariant>

namespace {

// A value read from an INI file as text. An unquoted value holding a comma
// comes back from QSettings as a string list; joining it again keeps URLs
// such as "http://host/a,b" intact instead of reading them as empty.
QString settingsText(const QVariant& value)
{
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

// The configured base URL, a "/" unless it ends with one, and the version:
// every client version is served from its own directory of the mirror.
QString versionedUrl(QString url, int version)
{
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url + QString::number(version);
}

constexpr int DefaultRetries = 5;
constexpr int AlphaRetries = 4;
constexpr int HttpMaxUseCount = 3;

} // namespace

Mirrors::Mirrors(QObject* parent)
    : QObject(parent)
    , random(static_cast<quint32>(QDateTime::currentSecsSinceEpoch()))
{
}

void Mirrors::setRandomGenerator(const QRandomGenerator& generator)
{
    random = generator;
}

bool Mirrors::initDefault(const QString& iniFilePath, int version)
{
    QSettings settings(iniFilePath, QSettings::IniFormat);
    const int count = settings.beginReadArray(QStringLiteral("mirrors"));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        FTPSiteAccessData mirror;
        mirror.name = settingsText(settings.value(QStringLiteral("mirror")));
        mirrorList.append(mirror);
    }
    settings.endArray();

    setDefaults(settings, version);
    return true;
}

void Mirrors::setDefaults(QSettings& settings, int version)
{
    for (FTPSiteAccessData& mirror : mirrorList) {
        settings.beginGroup(mirror.name);

        mirror.url = settingsText(settings.value(QStringLiteral("url")));
        // Several transfers at once only from web servers; the scheme is
        // matched in any case.
        if (mirror.url.left(7).toUpper() == QLatin1String("HTTP://")
            || mirror.url.left(8).toUpper() == QLatin1String("HTTPS://"))
            mirror.maxUseCount = HttpMaxUseCount;
        mirror.url = versionedUrl(mirror.url, version);

        // Anything that is not a count of at least 1 (absent, 0, negative,
        // not a number, beyond a signed 32-bit value) means the default.
        const int retries = static_cast<int>(settings.value(QStringLiteral("retries"), DefaultRetries).toUInt());
        mirror.retries = retries > 0 ? retries : DefaultRetries;

        settings.endGroup();
    }
}

bool Mirrors::initAlpha(const QString& iniFilePath, int version)
{
    QSettings settings(iniFilePath, QSettings::IniFormat);
    const QString url = settingsText(settings.value(QStringLiteral("Channel/alpha")));
    if (url.isEmpty()) {
        emit fatalError(tr("alpha parameter in channel section in update ini file not found"));
        return false;
    }

    FTPSiteAccessData mirror;
    mirror.name = QStringLiteral("Alpha Channel");
    mirror.url = versionedUrl(url, version);
    mirror.retries = AlphaRetries;
    mirrorList.append(mirror);
    return true;
}

void Mirrors::initFromList(const QVector<FTPSiteAccessData>& mirrors)
{
    mirrorList += mirrors;
}

int Mirrors::getRandomMirror(FTPSiteAccessData& mirror)
{
    if (mirrorList.isEmpty()) {
        if (!noMirrorsReported) {
            emit message(tr("There are no (more) known working mirrors available"));
            noMirrorsReported = true;
        }
        return NoMirrorLeft;
    }

    int capacity = 0;
    int use = 0;
    calcUseStats(capacity, use);
    if (use >= capacity)
        return AllSlotsBusy;

    // Every free slot is equally likely, so a mirror's chance follows its
    // number of free slots.
    int r = static_cast<int>(random.bounded(static_cast<quint32>(capacity - use)));
    for (FTPSiteAccessData& candidate : mirrorList) {
        r -= candidate.maxUseCount - candidate.useCount;
        if (r < 0) {
            ++candidate.useCount;
            mirror = candidate;
            return MirrorTaken;
        }
    }
    // Only reachable when a record holds more slots than it has.
    return NoMirrorLeft;
}

void Mirrors::releaseMirror(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    --mirrorList[index].useCount;
    emit slotsChanged();
}

void Mirrors::addMirrorError(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    FTPSiteAccessData& mirror = mirrorList[index];
    ++mirror.errorCount;
    if (mirror.errorCount <= mirror.retries)
        return;
    emit message(tr("Mirror %1 failed too many times, removing").arg(name));
    mirrorList.remove(index);
    emit slotsChanged();
}

void Mirrors::removeMirror(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    mirrorList.remove(index);
    emit slotsChanged();
}

int Mirrors::getMirrorIndex(const QString& name) const
{
    for (int i = 0; i < mirrorList.size(); ++i) {
        if (mirrorList.at(i).name == name)
            return i;
    }
    return -1;
}

void Mirrors::calcUseStats(int& capacity, int& use) const
{
    capacity = 0;
    use = 0;
    for (const FTPSiteAccessData& mirror : mirrorList) {
        capacity += mirror.maxUseCount;
        use += mirror.useCount;
    }
}
