#include "ui/banner.h"

#include <QStringList>
#include <QTimerEvent>

namespace {
// Replies longer than this are cut to their first bytes.
constexpr qint64 MaxReplySize = 1024;
}

const QByteArray Banner::request = QByteArray("\x01\x01", 2);

Banner::Banner(QObject* parent, const QString& host, quint16 port, int retryIntervalMs)
    : QObject(parent)
    , socket(new QUdpSocket(this))
    , serverHost(host)
    , serverPort(port)
    , retryInterval(retryIntervalMs)
{
    // Any local address, a port of the system's choice.
    socket->bind(0);
    connect(socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(socket, &QUdpSocket::errorOccurred, this, &Banner::onError);
}

void Banner::run()
{
    QHostInfo::lookupHost(serverHost, this, &Banner::onResolved);
}

void Banner::onResolved(QHostInfo hostInfo)
{
    if (hostInfo.error() != QHostInfo::NoError)
        return;
    serverAddress.clear();
    const QList<QHostAddress> addresses = hostInfo.addresses();
    for (const QHostAddress& address : addresses) {
        // The service speaks IPv4 only.
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            serverAddress = address;
            break;
        }
    }
    if (!serverAddress.isNull())
        sendRequest();
}

void Banner::sendRequest()
{
    if (socket->writeDatagram(request, serverAddress, serverPort) == -1) {
        retryTimer.stop();
        return;
    }
    retryTimer.start(retryInterval, this);
}

void Banner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == retryTimer.timerId()) {
        // One repetition of the request, then give up.
        if (timeoutCount++ <= 0)
            sendRequest();
        else
            retryTimer.stop();
    }
    QObject::timerEvent(event);
}

void Banner::onReadyRead()
{
    while (socket->hasPendingDatagrams()) {
        char buffer[MaxReplySize];
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 size = socket->readDatagram(buffer, sizeof buffer, &sender, &senderPort);
        if (size < 0)
            return;
        // Only the banner server may answer: anyone else who happens to know
        // our port must neither end the retries nor choose the banner.
        if (serverAddress.isNull() || senderPort != serverPort
            || !sender.isEqual(serverAddress, QHostAddress::ConvertV4MappedToIPv4))
            continue;
        retryTimer.stop();
        handleReply(QByteArray(buffer, size));
    }
}

void Banner::handleReply(const QByteArray& datagram)
{
    const QStringList parts = QString::fromLatin1(datagram).split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (parts.size() == 2)
        emit bannerFound(parts.at(0), parts.at(1));
}

void Banner::onError(QAbstractSocket::SocketError socketError)
{
    Q_UNUSED(socketError);
    retryTimer.stop();
}
