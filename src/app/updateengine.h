#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QString>

#include "ui/banner.h"

class Configuration;
class MainTaskSpecification;
class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Controller of update runs. initialize() prepares a run (crypto library,
// session record, temporary directory, mirror pool), startUpdate() starts
// its root task, cancelUpdate() asks it to stop and reset() makes the engine
// ready for another run. The run's messages, errors and progress are passed
// on through the engine's own signals, and once a second the task tree is
// polled for transfer figures. The engine also fetches the banner image.
class UpdateEngine : public QObject
{
    Q_OBJECT

public:
    enum EngineState : qint32 {
        EngineIdle = 0,
        EngineInitialized = 1,
        EngineRunning = 2,
        EngineFinished = 3,
        EngineCanceled = 4,
    };

    // A banner image larger than this is not downloaded.
    static constexpr qint64 MaxBannerSize = 270000;
    static constexpr int ProgressIntervalMs = 1000;
    static constexpr quint16 DefaultProxyPort = 3128;

    UpdateEngine(Configuration& configuration, QObject* parent = nullptr);
    ~UpdateEngine() override;

    bool initialize();
    bool startUpdate();
    bool busy() const;
    void reset();
    // Asks the banner service (the update server unless a test points it
    // elsewhere) and then fetches the image it names.
    void getBanner(const QString& host = Banner::BANNER_SERVER, quint16 port = Banner::BannerPort);

    // Removes the recorded temporary directory and the session record after
    // a successful run.
    void cleanup();
    // Empties a directory tree; symbolic links are neither followed nor
    // removed, so a directory holding one stays.
    void cleanupDirectory(const QString& path);
    // Deletes the "_old_" backups of the updater's own files in a directory.
    static void removeOldFiles(const QString& directory);

    EngineState state = EngineIdle;
    QNetworkAccessManager* networkManager;

public slots:
    void cancelUpdate();

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);

protected:
    void connectNotify(const QMetaMethod& signal) override;

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();
    void onBannerReadyRead();

private:
    void applyProxy();
    QString resumeOrCleanPreviousSession();
    void dropBannerReply();
    void disposeOfMainTask();

    Configuration& configuration;
    Mirrors* mirrors = nullptr;
    MainTaskSpecification* mainTask = nullptr;
    QTimer* progressTimer;
    QString bannerClickUrl;
    QNetworkReply* bannerReply = nullptr;
    // A fatal error found while the engine was built (an invalid proxy),
    // delivered once somebody listens to fatalError.
    QString pendingFatalError;
};
