#include "app/updateengine.h"

#include "app/configuration.h"
#include "app/log.h"
#include "app/maintaskspecification.h"
#include "app/updateinidata.h"
#include "download/mirrors.h"
#include "manifest/tomcryptutil.h"
#include "ui/banner.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaMethod>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString mirrorsFileName = QStringLiteral("mirrors.ini");

// A temporary directory of ours: named as the configuration names them, a
// real directory (not a link to one) and owned by us. Only such a directory
// is ever emptied on the strength of the session record: a damaged or
// hand-edited record, or a name taken over by somebody else after the
// system cleaned its temporary directory, must not make us delete anything
// else.
bool isOwnTempDir(const QString& path)
{
    static const QRegularExpression name(QStringLiteral("^kestrune_temp_[0-9]+$"));
    const QFileInfo info(QDir::cleanPath(path));
    if (!name.match(info.fileName()).hasMatch())
        return false;
    struct stat st;
    if (::lstat(QFile::encodeName(info.filePath()).constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

bool isWebUrl(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}
} // namespace

UpdateEngine::UpdateEngine(Configuration& configuration, QObject* parent)
    : QObject(parent)
    , networkManager(nullptr)
    , configuration(configuration)
{
    connect(&configuration, &Configuration::message, this, &UpdateEngine::message);

    // Everything the engine reports also goes to the log.
    connect(this, &UpdateEngine::message, this, [](const QString& text) { Log::line(text); });
    connect(this, &UpdateEngine::error, this, [](const QString& text) { Log::line(text); });
    connect(this, &UpdateEngine::fatalError, this, [](const QString& text) { Log::line(text); });

    progressTimer = new QTimer(this);
    progressTimer->setInterval(ProgressIntervalMs);
    connect(progressTimer, &QTimer::timeout, this, &UpdateEngine::onTimer);

    networkManager = new QNetworkAccessManager(this);
    // A redirect is a failure of the mirror like any other status but 200.
    networkManager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);

    configuration.getProxyAndDownloadConcurrency();
    applyProxy();
}

UpdateEngine::~UpdateEngine()
{
    // Work of a running run may still be on the thread pool, and some of it
    // writes into its task (the work lists). The tasks go with the engine:
    // let that work end first.
    if (mainTask)
        QThreadPool::globalInstance()->waitForDone();
}

void UpdateEngine::applyProxy()
{
    const QString text = configuration.proxy.trimmed();
    if (text.isEmpty()) {
        // Explicitly none: the system's proxy settings are not used either.
        networkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }

    // Only host and port are taken; the scheme, if any, is ignored. The
    // usual "host:port" (or a bare host, or "10.0.0.1:8080") has none: read
    // it as an http URL, else it would parse as a scheme and a path, or not
    // at all.
    const QString urlText = text.contains(QLatin1String("://")) ? text : QStringLiteral("http://") + text;
    const QUrl url(urlText, QUrl::TolerantMode);
    if (!url.isValid() || url.host().isEmpty()) {
        pendingFatalError = tr("'%1' is an invalid proxy specification").arg(configuration.proxy);
        return;
    }
    networkManager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, url.host(),
                                           quint16(url.port(DefaultProxyPort))));
}

void UpdateEngine::connectNotify(const QMetaMethod& signal)
{
    // The proxy is applied while the engine is built, before the window
    // listens; the report waits for the first listener and then arrives from
    // the event loop, not inside connect().
    if (!pendingFatalError.isEmpty() && signal == QMetaMethod::fromSignal(&UpdateEngine::fatalError)) {
        const QString text = pendingFatalError;
        pendingFatalError.clear();
        QMetaObject::invokeMethod(this, [this, text] { emit fatalError(text); }, Qt::QueuedConnection);
    }
}

bool UpdateEngine::busy() const
{
    return state == EngineInitialized || state == EngineRunning;
}

bool UpdateEngine::initialize()
{
    try {
        crypt_init();
    } catch (const crypt_exception& e) {
        emit fatalError(QString::fromLocal8Bit(e.what()));
        return false;
    }

    const QString root = Configuration::getAppRootPath();
    if (!QFile::exists(root + QLatin1Char('/') + mirrorsFileName)) {
        emit fatalError(tr("%1 is missing, cannot proceed.").arg(mirrorsFileName));
        return false;
    }

    const QRandomGenerator random(quint32(QDateTime::currentSecsSinceEpoch()));

    const QString previousTempDir = resumeOrCleanPreviousSession();
    if (!configuration.initalizeStart(previousTempDir))
        return false;
    UpdateIniData::modify(configuration.clientVersion, configuration.tempDir, configuration.updateType);

    // The pool of an earlier run goes; its root task is gone already.
    if (mirrors && !mainTask) {
        disconnect(mirrors, nullptr, this, nullptr);
        mirrors->deleteLater();
    }
    mirrors = new Mirrors(this);
    mirrors->setRandomGenerator(random);
    connect(mirrors, &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(mirrors, &Mirrors::message, this, &UpdateEngine::message);
    const bool filled = configuration.updateChannel == AlphaChannel
        ? mirrors->initAlpha(UpdateIniData::filename(), configuration.clientVersion)
        : mirrors->initDefault(root + QLatin1Char('/') + mirrorsFileName, configuration.clientVersion);
    if (!filled)
        return false;

    state = EngineInitialized;
    return true;
}

QString UpdateEngine::resumeOrCleanPreviousSession()
{
    int version = 0;
    QString dir;
    if (!UpdateIniData::get(&version, nullptr, &dir))
        return QString();

    if (!isOwnTempDir(dir)) {
        // Not a directory this program made: forget the record, touch nothing.
        UpdateIniData::cleanup();
        return QString();
    }

    if (version == configuration.clientVersion) {
        emit message(tr("Previous update session for v. %1 found").arg(version));
        return dir;
    }

    emit message(tr("Cleanup previous session (v. %1, %2) files...").arg(version).arg(dir));
    cleanupDirectory(dir);
    QDir parent = QFileInfo(QDir::cleanPath(dir)).dir();
    if (parent.exists()) {
        if (parent.rmdir(QFileInfo(QDir::cleanPath(dir)).fileName()))
            emit message(tr("Ok"));
        else
            emit message(tr("Failed to remove directory"));
    }
    UpdateIniData::cleanup();
    return QString();
}

bool UpdateEngine::startUpdate()
{
    mainTask = new MainTaskSpecification(networkManager, mirrors, &configuration, this, 1.0);
    connect(mainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(mainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(mainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(mainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(mainTask, &TaskSpecification::message, this, &UpdateEngine::message);
    state = EngineRunning;
    progressTimer->start();
    mainTask->execute();
    return true;
}

void UpdateEngine::cancelUpdate()
{
    if (state == EngineRunning && mainTask)
        mainTask->userCanceled();
}

void UpdateEngine::reset()
{
    // The timer runs only while a run runs.
    progressTimer->stop();
    state = EngineIdle;
    disposeOfMainTask();
}

void UpdateEngine::disposeOfMainTask()
{
    if (!mainTask)
        return;
    disconnect(mainTask, nullptr, this, nullptr);
    // Possibly inside the task's own signal.
    mainTask->deleteLater();
    mainTask = nullptr;
}

void UpdateEngine::onTimer()
{
    if (state != EngineRunning || !mainTask)
        return;
    quint64 downloadDone = 0;
    quint64 downloadTotal = 0;
    quint64 speed = 0;
    bool downloading = false;
    mainTask->timeTick(downloadDone, downloadTotal, speed, downloading);
    emit downloadProgress(downloadDone, downloadTotal, speed, downloading);
}

void UpdateEngine::onTaskFinished()
{
    progressTimer->stop();
    cleanup();
    state = EngineFinished;
    emit message(tr("Update successfully finished"));
    disposeOfMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    progressTimer->stop();
    state = EngineCanceled;
    if (mainTask && mainTask->state == TaskSpecification::UserCanceled)
        emit message(tr("User aborted update"));
    disposeOfMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::cleanup()
{
    emit message(tr("Remove temporary files..."));
    QString dir;
    if (UpdateIniData::get(nullptr, nullptr, &dir)) {
        if (isOwnTempDir(dir)) {
            cleanupDirectory(dir);
            const QFileInfo info(QDir::cleanPath(dir));
            QDir parent = info.dir();
            if (parent.exists())
                parent.rmdir(info.fileName());
        }
        UpdateIniData::cleanup();
    }
    emit message(tr("Temporary files removed."));
}

void UpdateEngine::cleanupDirectory(const QString& path)
{
    const QDir dir(path);
    const QDir::Filters common = QDir::Hidden | QDir::System | QDir::NoSymLinks | QDir::NoDotAndDotDot;
    const QFileInfoList files = dir.entryInfoList(QDir::Files | common);
    for (const QFileInfo& file : files)
        QFile::remove(file.filePath());
    const QFileInfoList subdirs = dir.entryInfoList(QDir::Dirs | common);
    for (const QFileInfo& subdir : subdirs) {
        cleanupDirectory(subdir.filePath());
        dir.rmdir(subdir.fileName());
    }
}

void UpdateEngine::removeOldFiles(const QString& directory)
{
    const QDir dir(directory);
    for (const QString& name : Configuration::getSpecialFileNames())
        QFile::remove(dir.filePath(Configuration::getSpecialFileRenamePrefix() + name));
}

void UpdateEngine::getBanner(const QString& host, quint16 port)
{
    if (bannerReply)
        return;
    auto* banner = new Banner(this, host, port);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    banner->run();
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    const QUrl url(bannerUrl, QUrl::TolerantMode);
    // Only web addresses: the banner service must not make us read local
    // files or talk to other handlers.
    if (!url.isValid() || !isWebUrl(url))
        return;
    dropBannerReply();
    bannerClickUrl = isWebUrl(QUrl(clickUrl, QUrl::TolerantMode)) ? clickUrl : QString();
    bannerReply = networkManager->get(QNetworkRequest(url));
    connect(bannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(bannerReply, &QNetworkReply::metaDataChanged, this, &UpdateEngine::onBannermetaDataChanged);
    connect(bannerReply, &QNetworkReply::readyRead, this, &UpdateEngine::onBannerReadyRead);
}

void UpdateEngine::onBannermetaDataChanged()
{
    if (!bannerReply)
        return;
    const QVariant length = bannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > MaxBannerSize)
        dropBannerReply();
}

void UpdateEngine::onBannerReadyRead()
{
    // The body is kept until the end; whatever the server announced (or did
    // not), it may not grow beyond the limit.
    if (bannerReply && bannerReply->bytesAvailable() > MaxBannerSize)
        dropBannerReply();
}

void UpdateEngine::onBannerDownloadFinished()
{
    if (!bannerReply)
        return;
    const QByteArray body = bannerReply->readAll();
    dropBannerReply();
    if (body.size() > MaxBannerSize)
        return;
    emit bannerFound(body, bannerClickUrl);
}

void UpdateEngine::dropBannerReply()
{
    if (!bannerReply)
        return;
    disconnect(bannerReply, nullptr, this, nullptr);
    bannerReply->abort();
    bannerReply->deleteLater();
    bannerReply = nullptr;
}
