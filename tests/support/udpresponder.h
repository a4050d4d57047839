#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QThread>

#include <optional>

// A UDP service on loopback for tests of code that asks a server and waits
// for the answer. It runs on its own thread, so the code under test may block
// the test's thread while it waits for the reply.
//
// Every datagram received is recorded and answered with the configured reply
// (or not at all). Before that reply, each configured stranger datagram is
// sent to the asker from another socket, to check that the asker only takes
// answers from the address and port it asked.
class UdpResponder : public QThread
{
    Q_OBJECT

public:
    // Binds a free port on the address, or the given port.
    explicit UdpResponder(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    ~UdpResponder() override;

    bool isListening() const { return boundPort != 0; }
    QHostAddress address() const { return bindAddress; }
    quint16 port() const { return boundPort; }

    // The answer to every request; std::nullopt keeps the responder silent.
    void setReply(std::optional<QByteArray> reply);

    // A datagram sent to the asker before the reply, from a socket bound to
    // the given address and port (0: any free port).
    void addStrangerReply(const QByteArray& data, const QHostAddress& from, quint16 fromPort = 0);

    QList<QByteArray> requests() const;
    int requestCount() const;

protected:
    void run() override;

private:
    struct Stranger {
        QByteArray data;
        QHostAddress from;
        quint16 fromPort;
    };

    const QHostAddress bindAddress;
    const quint16 wantedPort;
    quint16 boundPort = 0;
    QSemaphore bound;

    mutable QMutex mutex;
    std::optional<QByteArray> reply;
    QList<Stranger> strangers;
    QList<QByteArray> received;
};
