#include <optional>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include "ui/banner.h"

namespace {

// A banner service on loopback: records every request and answers the
// first one with a prepared reply, if any.
class BannerServerStub : public QObject
{
    Q_OBJECT

public:
    explicit BannerServerStub(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0)
    {
        bound = socket.bind(address, port);
        connect(&socket, &QUdpSocket::readyRead, this, &BannerServerStub::onReadyRead);
        clock.start();
    }

    bool isBound() const { return bound; }
    quint16 port() const { return socket.localPort(); }

    // Sends a datagram to where the last request came from.
    void sendToClient(const QByteArray& datagram)
    {
        socket.writeDatagram(datagram, clientAddress, clientPort);
    }

    std::optional<QByteArray> reply;
    QList<QByteArray> requests;
    QList<qint64> requestTimes;
    QList<quint16> requestPorts;
    QHostAddress clientAddress;
    quint16 clientPort = 0;

private slots:
    void onReadyRead()
    {
        while (socket.hasPendingDatagrams()) {
            QByteArray datagram(int(socket.pendingDatagramSize()), Qt::Uninitialized);
            socket.readDatagram(datagram.data(), datagram.size(), &clientAddress, &clientPort);
            requests.append(datagram);
            requestTimes.append(clock.elapsed());
            requestPorts.append(clientPort);
            if (reply && requests.size() == 1)
                sendToClient(*reply);
        }
    }

private:
    QUdpSocket socket;
    QElapsedTimer clock;
    bool bound = false;
};

const QByteArray Request("\x01\x01", 2);

} // namespace

class TestBanner : public QObject
{
    Q_OBJECT

private slots:
    void replyRules_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("bannerUrl");
        QTest::addColumn<QString>("clickUrl");

        QTest::newRow("image,click") << QByteArray("http://b.example/a.png,http://c.example/")
                                     << true << "http://b.example/a.png" << "http://c.example/";
        QTest::newRow("empty click address") << QByteArray("A,") << true << "A" << "";
        QTest::newRow("empty image address") << QByteArray(",B") << true << "" << "B";
        QTest::newRow("taken as they are") << QByteArray(" A , B\n") << true << " A " << " B\n";
        QTest::newRow("read as Latin-1") << QByteArray("http://b.example/\xe9.png,B")
                                         << true << QString::fromUtf8("http://b.example/é.png") << "B";
        QTest::newRow("three parts") << QByteArray("A,B,C") << false << "" << "";
        QTest::newRow("no comma") << QByteArray("AB") << false << "" << "";
        QTest::newRow("empty datagram") << QByteArray() << false << "" << "";

        // Two commas in 1500 bytes, but only one in the first 1024.
        const QByteArray longReply = "I," + QByteArray(1022, 'c') + "," + QByteArray(475, 'd');
        QTest::newRow("cut at 1024 bytes") << longReply << true << "I" << QString(1022, QLatin1Char('c'));
    }

    // Every answer ends the retries; only one with exactly one comma is a banner.
    void replyRules()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, found);
        QFETCH(QString, bannerUrl);
        QFETCH(QString, clickUrl);

        const int interval = 400;
        BannerServerStub server;
        QVERIFY(server.isBound());
        server.reply = reply;
        Banner banner(nullptr, QStringLiteral("127.0.0.1"), server.port(), interval);
        QSignalSpy spy(&banner, &Banner::bannerFound);
        banner.run();

        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 5000);
        QCOMPARE(server.requests.first(), Request);
        if (found)
            QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, 5000);
        // Longer than the reply timeout: no repetition must follow.
        QTest::qWait(interval * 2);
        QCOMPARE(server.requests.size(), 1);
        QCOMPARE(spy.size(), found ? 1 : 0);
        if (found) {
            QCOMPARE(spy.first().at(0).toString(), bannerUrl);
            QCOMPARE(spy.first().at(1).toString(), clickUrl);
        }
    }

    // Without an answer the request goes out twice, one interval apart, and
    // then never again; an answer arriving after that is still taken.
    void twoRequestsThenLateReply()
    {
        const int interval = 200;
        BannerServerStub server;
        QVERIFY(server.isBound());
        Banner banner(nullptr, QStringLiteral("127.0.0.1"), server.port(), interval);
        QSignalSpy spy(&banner, &Banner::bannerFound);
        banner.run();

        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 2, 10000);
        QCOMPARE(server.requests.at(0), Request);
        QCOMPARE(server.requests.at(1), Request);
        QCOMPARE(server.requestPorts.at(0), server.requestPorts.at(1));
        const qint64 gap = server.requestTimes.at(1) - server.requestTimes.at(0);
        QVERIFY2(gap >= interval * 9 / 10 && gap < interval * 5, qPrintable(QString::number(gap)));

        QTest::qWait(interval * 3);
        QCOMPARE(server.requests.size(), 2);
        QCOMPARE(spy.size(), 0);

        server.sendToClient("late,reply");
        QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, 5000);
        QCOMPARE(spy.first().at(0).toString(), QStringLiteral("late"));
        QCOMPARE(spy.first().at(1).toString(), QStringLiteral("reply"));
        QCOMPARE(server.requests.size(), 2);
    }

    void strangerIgnored_data()
    {
        QTest::addColumn<QString>("strangerAddress");
        QTest::addColumn<bool>("serverPort");

        QTest::newRow("other address, server's port") << "127.0.0.2" << true;
        QTest::newRow("server's address, other port") << "127.0.0.1" << false;
    }

    // A datagram from anyone but the server neither chooses the banner nor
    // ends the retries.
    void strangerIgnored()
    {
        QFETCH(QString, strangerAddress);
        QFETCH(bool, serverPort);

        const int interval = 300;
        BannerServerStub server;
        QVERIFY(server.isBound());
        BannerServerStub stranger(QHostAddress(strangerAddress), serverPort ? server.port() : 0);
        if (!stranger.isBound())
            QSKIP("cannot bind the second loopback address here");
        Banner banner(nullptr, QStringLiteral("127.0.0.1"), server.port(), interval);
        QSignalSpy spy(&banner, &Banner::bannerFound);
        banner.run();

        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 5000);
        stranger.clientAddress = server.clientAddress;
        stranger.clientPort = server.clientPort;
        stranger.sendToClient("http://evil.example/x.png,file:///etc/passwd");

        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 2, 5000);
        QCOMPARE(spy.size(), 0);
        server.sendToClient("A,B");
        QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, 5000);
        QCOMPARE(spy.first().at(0).toString(), QStringLiteral("A"));
        QCOMPARE(stranger.requests.size(), 0);
    }

    void lookup_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("requested");

        QTest::newRow("IPv4 address") << "127.0.0.1" << true;
        QTest::newRow("name") << "localhost" << true;
        QTest::newRow("IPv6 only") << "::1" << false;
        QTest::newRow("no name") << "" << false;
        QTest::newRow("invalid name") << "no such host..invalid" << false;
    }

    // The request goes to the first IPv4 address of the host, or nowhere.
    void lookup()
    {
        QFETCH(QString, host);
        QFETCH(bool, requested);

        const int interval = 200;
        BannerServerStub server;
        QVERIFY(server.isBound());
        // Listens on the same port over IPv6, to catch a request sent there.
        BannerServerStub server6(QHostAddress::LocalHostIPv6, server.port());
        Banner banner(nullptr, host, server.port(), interval);
        banner.run();

        if (requested) {
            QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 2, 10000);
        } else {
            QTest::qWait(interval * 3);
            QCOMPARE(server.requests.size(), 0);
        }
        QCOMPARE(server6.requests.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestBanner)
#include "tst_banner.moc"
