#include "app/configuration.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <sys/stat.h>

#include "app/log.h"
#include "app/updatechecker.h"
#include "buildconfig.h"

namespace {
QString& appRootOverride()
{
    static QString path;
    return path;
}

// An unquoted INI value holding a comma comes back as a string list, whose
// toString() is empty; put such a value back together.
QString settingText(const QSettings& settings, const QString& key)
{
    const QVariant value = settings.value(key);
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

// A text counts as true unless it is empty, "0" or "false" in any letter case.
bool settingBool(const QSettings& settings, const QString& key)
{
    const QString text = settingText(settings, key);
    return !(text.isEmpty() || text == QLatin1String("0")
             || text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0);
}

// Text that is no integer gives 0.
int settingInt(const QSettings& settings, const QString& key, int defaultValue)
{
    if (!settings.contains(key))
        return defaultValue;
    return settingText(settings, key).toInt();
}

// The platform's temporary directory: $TMPDIR, else /tmp. Unlike
// QDir::tempPath() this does not require the directory to exist yet.
QString platformTempPath()
{
    const QString path = qEnvironmentVariable("TMPDIR");
    return path.isEmpty() ? QStringLiteral("/tmp") : path;
}

const QString commandLineNoUser = QStringLiteral("--nouser");
const QString tempDirPrefix = QStringLiteral("kestrune_temp_");
constexpr int tempDirCandidates = 1000;
} // namespace

Configuration::Configuration(QObject* parent)
    : QObject(parent)
    , versionServerHost(BuildConfig::updateServerHost)
    , versionServerPort(UpdateChecker::defaultPort)
    , versionQueryTimeoutMs(UpdateChecker::defaultReceiveTimeoutMs)
{
    // Everything the configuration reports also goes to the log, so a run
    // from a terminal shows it.
    connect(this, &Configuration::fatalError, this, [](const QString& text) { Log::line(text); });
    connect(this, &Configuration::message, this, [](const QString& text) { Log::line(text); });
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

QString Configuration::settingsFilePath() const
{
    return getAppRootPath() + QStringLiteral("/update.ini");
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList& arguments)
{
    getUpdateChannel();

    const qsizetype n = arguments.size();
    if (n <= 1 || n >= 5) {
        // No arguments, or more than we understand: the defaults.
        return getDefaultParameters();
    }
    if (n == 3) {
        // TYPE VERSION; the server is not asked.
        startMode = StartModeInteractive;
        return getClientTypeVersion(arguments, 1);
    }

    // "--nouser", optionally followed by TYPE VERSION.
    startMode = StartModeNone;
    if (arguments.at(1) != commandLineNoUser) {
        emit fatalError(QObject::tr("--nouser option is missing"));
        return false;
    }
    if (!getDefaultParameters())
        return false;
    startMode = StartModeNoUser;
    if (n == 4)
        return getClientTypeVersion(arguments, 2);
    return true;
}

void Configuration::getUpdateChannel()
{
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settingText(settings, QStringLiteral("alpha"));
    const bool beta = settingBool(settings, QStringLiteral("beta"));
    if (!alpha.isEmpty()) {
        updateChannel = AlphaChannel;
        clientVersion = settingInt(settings, QStringLiteral("alphaRevno"), 0);
    } else {
        updateChannel = beta ? BetaChannel : StableChannel;
        clientVersion = 0;
    }
}

bool Configuration::getDefaultParameters()
{
    updateType = getUpdateType();

    // An alpha revision from the settings file needs no server.
    if (clientVersion != 0) {
        startMode = StartModeInteractive;
        return true;
    }

    // A failed query has reported itself; an empty field is not reported.
    const QString latest = getLatestClientVersion(updateChannel);
    if (latest.isEmpty())
        return false;
    if (!getClientVersionFromString(latest, QObject::tr("Update server returned invalid version nr (%1)")))
        return false;

    startMode = StartModeInteractive;
    return true;
}

QString Configuration::getLatestClientVersion(UpdateChannel channel)
{
    UpdateChecker checker(versionServerHost, versionServerPort, versionQueryTimeoutMs);
    if (!checker.checkUpdate()) {
        emit fatalError(QObject::tr("Failed to query latest client\nversion from update server."));
        return QString();
    }
    switch (channel) {
    case StableChannel:
        return QString::fromLatin1(checker.getClientStableVersion());
    case BetaChannel:
        return QString::fromLatin1(checker.getClientBetaVersion());
    case AlphaChannel:
        return QString::fromLatin1(checker.getClientAlphaVersion());
    }
    return QString();
}

bool Configuration::getClientTypeVersion(const QStringList& arguments, int index)
{
    if (index >= arguments.size()) {
        emit fatalError(QObject::tr("No client type specified"));
        return false;
    }
    updateType = arguments.at(index);

    if (index + 1 >= arguments.size()) {
        emit fatalError(QObject::tr("No client version specified"));
        return false;
    }
    return getClientVersionFromString(arguments.at(index + 1), QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::getClientVersionFromString(const QString& text, const QString& errorTemplate)
{
    bool ok = false;
    clientVersion = text.toInt(&ok, 10);
    if (!ok) {
        emit fatalError(errorTemplate.arg(text));
        return false;
    }
    return true;
}

void Configuration::getProxyAndDownloadConcurrency()
{
    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    proxy = settingText(settings, QStringLiteral("proxy"));
    downloadConcurrency = settingInt(settings, QStringLiteral("streams"), 6);
    if (downloadConcurrency < 1)
        downloadConcurrency = 6;
}

bool Configuration::createTempDir()
{
    QString base = platformTempPath();
    if (base.isEmpty()) {
        emit fatalError(tr("Unable to get temp directory."));
        return false;
    }
    base = QFileInfo(base).absoluteFilePath();

    // Missing parents of the shared directory may be created; the run's own
    // directory below is not.
    QDir().mkpath(base);

    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += tempDirPrefix;

    for (int i = 0; i < tempDirCandidates; ++i) {
        const QString candidate = base + QString::number(i);
        if (QFileInfo::exists(candidate))
            continue;
        // The names are predictable and the directory is shared: create the
        // directory ourselves or move on, never take over one that somebody
        // else made in the meantime, and let nobody else in.
        const QByteArray path = QFile::encodeName(candidate);
        if (::mkdir(path.constData(), S_IRWXU) != 0)
            continue;
        if (::chmod(path.constData(), S_IRWXU) != 0) {
            ::rmdir(path.constData());
            continue;
        }
        tempDir = candidate;
        return true;
    }

    emit fatalError(tr("Unable to create temp directory."));
    return false;
}

bool Configuration::initalizeStart(const QString& previousTempDir)
{
    if (previousTempDir.isEmpty())
        return createTempDir();
    tempDir = previousTempDir;
    return true;
}
