#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include "ui/banner.h"
#include "ui_mainwindow.h"

class Configuration;
class QCloseEvent;
class UpdateEngine;

// The updater's only window. It owns the update engine and the
// single-instance guard, starts an update from the start button (or the
// automatic start), shows the run's progress, transfer figures and log, a
// banner, reports errors in message boxes, asks before a running update is
// abandoned and at the end offers to start the client.
class MainWindow : public QWidget, private Ui::MainWindow
{
    Q_OBJECT

public:
    // The web site the logo and the copyright line point to.
    static const QString WebSiteUrl;

    // The banner service is that of the update server unless a test points
    // the window elsewhere.
    explicit MainWindow(Configuration& configuration, const QString& bannerHost = Banner::BANNER_SERVER,
                        quint16 bannerPort = Banner::BannerPort);
    ~MainWindow() override;

    // Shows the release channel of the configuration.
    void setUIToConfigSpecs();

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void onFatalConfigError(QString errorMessage);
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void onAutoStartUpdate();
    void on_startButton_clicked();
    void onAppendText(QString text);
    void onProgressUpdate(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(QString message);
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();

private:
    // Writes the lines that came since the last time into the log.
    void flushLog();
    // Shows the newest progress on the bar.
    void showProgress();

    Configuration* configuration;
    UpdateEngine* engine;
    bool updateDone = false;
    bool quitOnCancel = false;

    // A run logs thousands of lines in a few seconds; laying out the log for
    // each of them would cost more than the update itself. Lines are
    // gathered and written a few times a second, and whenever the log is
    // about to be looked at.
    QStringList pendingLog;
    QTimer logTimer;
    static constexpr int LogFlushIntervalMs = 100;

    // Likewise the progress bar is redrawn at most 25 times a second.
    int pendingProgress = 0;
    QTimer progressTimer;
    QElapsedTimer progressClock;
    static constexpr qint64 ProgressRepaintIntervalMs = 40;
};
