#include "download/downloadtaskspecification.h"

#include "download/mirrors.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>
#include <QVariant>

#include <algorithm>

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                                     const QString& remotePath, const QString& localPath,
                                                     qint64 expectedSize, QObject* parent, double weight)
    : TaskSpecification(parent, weight)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , remotePath(remotePath)
    , file(localPath)
    , expectedSize(expectedSize)
    , initialExpectedSize(expectedSize)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    if (reply) {
        disconnect(reply, nullptr, this, nullptr);
        reply->deleteLater();
    }
}

void DownloadTaskSpecification::execute()
{
    emit message(tr("Downloading %1").arg(remotePath));
    state = Running;
    startDownload();
}

void DownloadTaskSpecification::reset()
{
    resetDownload();
    TaskSpecification::reset();
}

void DownloadTaskSpecification::startDownload()
{
    const int drawn = mirrors->getRandomMirror(mirror);
    if (drawn == Mirrors::NoMirrorLeft) {
        // The pool has logged that no mirror is left.
        errorCancel();
        return;
    }
    if (drawn == Mirrors::AllSlotsBusy) {
        // Sleep until some transfer of the manager ends, then draw again.
        // A slot also comes back without a finished reply (a transfer
        // dropped after a stall, a bad status or a cancel, a local file
        // that cannot be created), and a retired mirror may leave the pool
        // empty: the pool's own notice wakes the task as well.
        waitingForSlot = true;
        const auto queuedOnce = static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::UniqueConnection);
        connect(networkManager, &QNetworkAccessManager::finished, this,
                &DownloadTaskSpecification::onOtherDownloadFinished, queuedOnce);
        connect(mirrors, &Mirrors::slotsChanged, this, &DownloadTaskSpecification::onSlotsChanged, queuedOnce);
        return;
    }
    holdsSlot = true;

    // Every attempt writes the file from byte 0. Writes are buffered (a few
    // system calls per chunk would cost more than the transfer itself);
    // an error shows when the buffer is written out, at the end at the latest.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        emit error(tr("Unable to create file %1 for saving").arg(file.fileName()));
        releaseSlot();
        errorCancel();
        return;
    }

    const QUrl url(mirror.url + QLatin1Char('/') + remotePath);
    reply = networkManager->get(QNetworkRequest(url));
    if (!reply) {
        emit error(tr("Download failed to initialize"));
        releaseSlot();
        file.close();
        errorCancel();
        return;
    }
    reply->setReadBufferSize(ReplyReadBufferSize);
    if (!reply->isRunning()) {
        errorRetry(reply->errorString());
        return;
    }

    connect(reply, &QNetworkReply::downloadProgress, this, &DownloadTaskSpecification::onDownloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this, &DownloadTaskSpecification::onMetaDataChanged);
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply*)
{
    // A wake-up queued before a cancel, a reset or an earlier wake-up finds
    // the task no longer waiting.
    if (!waitingForSlot)
        return;
    stopWaitingForSlot();
    if (state == Running && !reply)
        startDownload();
}

void DownloadTaskSpecification::onSlotsChanged()
{
    onOtherDownloadFinished(nullptr);
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!reply)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isNull())
        return; // not HTTP
    const int code = status.toInt();
    if (code == 200)
        return;

    // Any other answer (redirects and partial content included) means the
    // mirror does not serve this version properly.
    const QString url = mirror.url + QLatin1Char('/') + remotePath;
    mirrors->removeMirror(mirror.name);
    errorRetry(tr("%1 returned %2").arg(url, QString::number(code)));
}

void DownloadTaskSpecification::onReadyRead()
{
    readData();
}

bool DownloadTaskSpecification::readData()
{
    char buffer[ReadChunkSize];
    while (reply) {
        ticksWithoutData = 0;
        const qint64 available = reply->bytesAvailable();
        if (available <= 0)
            return true;

        const qint64 read = reply->read(buffer, std::min(available, ReadChunkSize));
        if (read < 0) {
            errorRetry(reply->errorString());
            return false;
        }
        if (read == 0)
            return true;

        const qint64 written = file.write(buffer, read);
        if (written < 0) {
            errorRetry(file.errorString());
            return false;
        }
        if (written < read) {
            errorRetry(tr("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                           .arg(file.fileName(), QString::number(read), QString::number(written)));
            return false;
        }

        bytesWritten += written;
        if (expectedSize > 0)
            setProgress(std::min(1.0, static_cast<double>(bytesWritten) / static_cast<double>(expectedSize)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    // A size given by the caller is never replaced; a transfer that turns
    // out longer or shorter is judged by the check that follows.
    if (bytesTotal > 0 && expectedSize == -1)
        expectedSize = bytesTotal;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!reply)
        return;

    if (reply->error() != QNetworkReply::NoError) {
        const QString reason = reply->errorString();
        if (reply->error() == QNetworkReply::AuthenticationRequiredError) {
            // A mirror that wants credentials will never serve us.
            mirrors->removeMirror(mirror.name);
            reply->close();
        }
        errorRetry(reason);
        return;
    }

    // A listener of our progress may have canceled the task meanwhile.
    if (!readData() || !reply)
        return;
    if (!file.flush()) {
        errorRetry(file.errorString());
        return;
    }

    disconnect(reply, nullptr, this, nullptr);
    reply->close();
    reply->deleteLater();
    reply = nullptr;
    file.close();
    downloadFinished();
}

void DownloadTaskSpecification::downloadFinished()
{
    emit message(tr("Downloading %1 finished").arg(remotePath));
    releaseSlot();
    finish();
}

void DownloadTaskSpecification::errorRetry(const QString& message)
{
    mirrors->addMirrorError(mirror.name);
    resetDownload();
    emit this->message(message);
    startDownload();
}

void DownloadTaskSpecification::resetDownload()
{
    releaseSlot();
    mirror.name = QString();

    if (reply) {
        // Deleting the reply aborts its transfer.
        disconnect(reply, nullptr, this, nullptr);
        reply->deleteLater();
        reply = nullptr;
    }
    stopWaitingForSlot();

    ticksWithoutData = 0;
    if (file.isOpen())
        file.close();

    lastTickBytes = 0;
    expectedSize = initialExpectedSize;
    bytesWritten = 0;
    setProgress(0.0);
}

void DownloadTaskSpecification::releaseSlot()
{
    if (!holdsSlot)
        return;
    holdsSlot = false;
    mirrors->releaseMirror(mirror.name);
}

void DownloadTaskSpecification::stopWaitingForSlot()
{
    if (!waitingForSlot)
        return;
    waitingForSlot = false;
    disconnect(networkManager, &QNetworkAccessManager::finished, this,
               &DownloadTaskSpecification::onOtherDownloadFinished);
    disconnect(mirrors, &Mirrors::slotsChanged, this, &DownloadTaskSpecification::onSlotsChanged);
}

void DownloadTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                         bool& downloading)
{
    downloadDone = static_cast<quint64>(bytesWritten);
    downloadTotal = expectedSize > 0 ? static_cast<quint64>(expectedSize) : 0;
    speed = static_cast<quint64>(std::max<qint64>(0, bytesWritten - lastTickBytes));
    lastTickBytes = bytesWritten;

    if (state != Running || !reply)
        return;
    // The count starts with the attempt, so connecting and waiting for the
    // headers count as time without data.
    ++ticksWithoutData;
    if (ticksWithoutData > mirror.timeoutTicks)
        errorRetry(tr("file %1 timed out on mirror %2").arg(remotePath, mirror.name));
    else
        downloading = true;
}

void DownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != Running)
        return;
    // The file stays as far as it was written.
    resetDownload();
    userCancel();
}
