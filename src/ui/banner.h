#pragma once

#include <QBasicTimer>
#include <QByteArray>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QString>
#include <QUdpSocket>

#include "buildconfig.h"

// Asks the banner service of the update server which banner to show: one
// two-byte request over UDP, answered by "<image url>,<click url>". Every
// failure is silent; the window then simply has no banner.
class Banner : public QObject
{
    Q_OBJECT

public:
    // Host name of the banner service (the update server).
    inline static const QString BANNER_SERVER = QString::fromLatin1(BuildConfig::updateServerHost);
    static constexpr quint16 BannerPort = 2009;
    // How long to wait for a reply before the one repetition of the request.
    static constexpr int RetryIntervalMs = 5000;
    // The request datagram: exactly the two bytes 0x01 0x01.
    static const QByteArray request;

    // Host, port and reply timeout default to the program's service; tests
    // point them at a local responder.
    explicit Banner(QObject* parent = nullptr, const QString& host = BANNER_SERVER,
                    quint16 port = BannerPort, int retryIntervalMs = RetryIntervalMs);

    // Starts the query: name lookup, then the request. Called once.
    void run();

signals:
    void bannerFound(QString bannerUrl, QString clickUrl);

protected:
    void timerEvent(QTimerEvent* event) override;

private slots:
    void onResolved(QHostInfo hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    void sendRequest();
    void handleReply(const QByteArray& datagram);

    QUdpSocket* socket;
    QBasicTimer retryTimer;
    QHostAddress serverAddress;
    int timeoutCount = 0;

    QString serverHost;
    quint16 serverPort;
    int retryInterval;
};
