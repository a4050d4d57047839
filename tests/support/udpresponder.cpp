#include "udpresponder.h"

#include <QMutexLocker>
#include <QNetworkDatagram>
#include <QUdpSocket>

UdpResponder::UdpResponder(const QHostAddress& address, quint16 port)
    : bindAddress(address)
    , wantedPort(port)
{
    // run() binds the socket, publishes the port (0 on failure) and then
    // releases the semaphore.
    start();
    bound.acquire();
    if (boundPort == 0)
        wait();
}

UdpResponder::~UdpResponder()
{
    quit();
    wait();
}

void UdpResponder::setReply(std::optional<QByteArray> newReply)
{
    QMutexLocker lock(&mutex);
    reply = std::move(newReply);
}

void UdpResponder::addStrangerReply(const QByteArray& data, const QHostAddress& from, quint16 fromPort)
{
    QMutexLocker lock(&mutex);
    strangers.append({data, from, fromPort});
}

QList<QByteArray> UdpResponder::requests() const
{
    QMutexLocker lock(&mutex);
    return received;
}

int UdpResponder::requestCount() const
{
    QMutexLocker lock(&mutex);
    return int(received.size());
}

void UdpResponder::run()
{
    QUdpSocket socket;
    if (socket.bind(bindAddress, wantedPort))
        boundPort = socket.localPort();
    bound.release();
    if (boundPort == 0)
        return;

    QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this, &socket] {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram request = socket.receiveDatagram();
            std::optional<QByteArray> answer;
            QList<Stranger> others;
            {
                QMutexLocker lock(&mutex);
                received.append(request.data());
                answer = reply;
                others = strangers;
            }
            for (const Stranger& stranger : others) {
                QUdpSocket other;
                if (other.bind(stranger.from, stranger.fromPort))
                    other.writeDatagram(stranger.data, request.senderAddress(), quint16(request.senderPort()));
            }
            if (answer)
                socket.writeDatagram(*answer, request.senderAddress(), quint16(request.senderPort()));
        }
    });
    exec();
}
