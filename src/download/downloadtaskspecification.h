#pragma once

#include "download/ftpsiteaccessdata.h"
#include "task/taskspecification.h"

#include <QFile>
#include <QNetworkReply>
#include <QPointer>
#include <QString>

class Mirrors;
class QNetworkAccessManager;

// Fetches one file over HTTP from a mirror of the pool into one local file.
// Each attempt takes a transfer slot, GETs the mirror's base URL + "/" +
// remotePath and streams the body to the file from byte 0. Any failure of an
// attempt is charged to its mirror and a new attempt starts on a newly drawn
// mirror, until one succeeds or the pool is empty. When every slot is busy
// the task waits, holding nothing, until some reply of the manager finishes
// or the pool reports a slot given back or a mirror retired, and then draws
// again. The content is not checked here; a check task follows.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    // Most bytes moved from the reply to the file in one read.
    static constexpr qint64 ReadChunkSize = 4096;
    // Most bytes a reply buffers ahead of the reads, so that a fast mirror
    // cannot fill memory while the main thread is busy elsewhere.
    static constexpr qint64 ReplyReadBufferSize = 256 * 1024;

    // expectedSize is the size in bytes, or -1 when none is known; the
    // transfer's announced size is then used for the progress.
    DownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors, const QString& remotePath,
                              const QString& localPath, qint64 expectedSize, QObject* parent, double weight);
    // Drops a reply still in flight. The slot is not given back: the pool
    // may already be gone when the task tree is torn down.
    ~DownloadTaskSpecification() override;

    void execute() override;
    void reset() override;
    // Bytes written, bytes expected (0 while unknown) and bytes since the
    // previous tick are assigned; 'downloading' is only ever set to true.
    // A transfer without data for more than mirror.timeoutTicks ticks is
    // abandoned and retried.
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override;
    void userCanceled() override;

    // The success step: logs, gives the slot back, finishes. mirror.name
    // stays set so that the mirror of a file that fails its check can be
    // retired.
    virtual void downloadFinished();

    // The mirror of the current (or, after success, the last) attempt.
    const FTPSiteAccessData& getMirror() const { return mirror; }

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished(QNetworkReply* otherReply);
    void onSlotsChanged();

private:
    // One attempt: draw a mirror, open the file, issue the request; or wait
    // for a slot, or fail when no mirror is left.
    void startDownload();
    // Moves everything the reply has buffered to the file. False when the
    // attempt failed (a retry has then been started).
    bool readData();
    // Charges the failure to the mirror, clears the attempt, logs the
    // reason and starts a new attempt.
    void errorRetry(const QString& message);
    // Clears the attempt: slot, reply, subscription, file, counters.
    void resetDownload();
    // Gives back the slot of the current attempt, if one is held.
    void releaseSlot();
    // Ends the wait for a slot, if the task is waiting.
    void stopWaitingForSlot();

    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    // Guarded: the manager, which parents its replies, may be destroyed
    // before the task.
    QPointer<QNetworkReply> reply;
    int ticksWithoutData = 0;
    QString remotePath;
    QFile file;
    qint64 lastTickBytes = 0;
    qint64 expectedSize;
    qint64 initialExpectedSize;
    qint64 bytesWritten = 0;
    FTPSiteAccessData mirror;
    // A slot of mirror.name is taken and not yet given back.
    bool holdsSlot = false;
    // Subscribed to the manager's finished(QNetworkReply*) for a new draw.
    bool waitingForSlot = false;
};
