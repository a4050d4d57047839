#include <QElapsedTimer>
#include <QTest>

#include "app/updatechecker.h"
#include "udpresponder.h"

// The version query against a loopback responder standing in for the server.
class TestUpdateChecker : public QObject
{
    Q_OBJECT

private:
    static constexpr int shortTimeoutMs = 300;

private slots:
    void replyIsSplitIntoFields_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("stable");
        QTest::addColumn<QByteArray>("beta");
        QTest::addColumn<QByteArray>("alpha");

        QTest::newRow("three fields") << QByteArray("100,200,300") << QByteArray("100") << QByteArray("200")
                                      << QByteArray("300");
        QTest::newRow("one field") << QByteArray("100") << QByteArray("100") << QByteArray() << QByteArray();
        QTest::newRow("empty pieces are skipped")
            << QByteArray(",,300") << QByteArray("300") << QByteArray() << QByteArray();
        QTest::newRow("runs of commas separate once")
            << QByteArray("7,,,8,") << QByteArray("7") << QByteArray("8") << QByteArray();
        QTest::newRow("fourth piece ignored") << QByteArray("1,2,3,4") << QByteArray("1") << QByteArray("2")
                                              << QByteArray("3");
        // 40 bytes: only the first 31 are read, cutting the third field.
        QTest::newRow("cut after 31 bytes") << QByteArray("1111111111,2222222222,3333333333,444444")
                                            << QByteArray("1111111111") << QByteArray("2222222222")
                                            << QByteArray("333333333");
        QTest::newRow("zero byte ends the text")
            << QByteArray("12,13\0" "14", 8) << QByteArray("12") << QByteArray("13") << QByteArray();
        QTest::newRow("empty reply is still a reply") << QByteArray("") << QByteArray() << QByteArray()
                                                      << QByteArray();
        QTest::newRow("only commas") << QByteArray(",,,") << QByteArray() << QByteArray() << QByteArray();
    }

    void replyIsSplitIntoFields()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, stable);
        QFETCH(QByteArray, beta);
        QFETCH(QByteArray, alpha);

        UdpResponder server;
        QVERIFY(server.isListening());
        server.setReply(reply);

        UpdateChecker checker("127.0.0.1", server.port(), 5000);
        QVERIFY(checker.checkUpdate());
        QCOMPARE(checker.getClientStableVersion(), stable);
        QCOMPARE(checker.getClientBetaVersion(), beta);
        QCOMPARE(checker.getClientAlphaVersion(), alpha);

        // The request: "2" and a zero byte.
        QCOMPARE(server.requests(), QList<QByteArray>{QByteArray("2\0", 2)});
    }

    void noReplyWithinTimeoutFails()
    {
        UdpResponder server;
        QVERIFY(server.isListening());
        server.setReply(std::nullopt);

        UpdateChecker checker("127.0.0.1", server.port(), shortTimeoutMs);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!checker.checkUpdate());
        QVERIFY(clock.elapsed() >= shortTimeoutMs - 50);
        QCOMPARE(server.requestCount(), 1);
        QVERIFY(checker.getClientStableVersion().isEmpty());
    }

    void unresolvableHostSendsNothing()
    {
        UpdateChecker checker("no-such-host.invalid", UpdateChecker::defaultPort, shortTimeoutMs);
        QVERIFY(!checker.checkUpdate());
        QVERIFY(checker.getClientStableVersion().isEmpty());
        QVERIFY(checker.getClientBetaVersion().isEmpty());
        QVERIFY(checker.getClientAlphaVersion().isEmpty());
    }

    // Only the address and port that were asked may answer; a stranger's
    // datagram that arrives first is not taken.
    void repliesFromElsewhereAreIgnored_data()
    {
        QTest::addColumn<QString>("fromAddress");
        QTest::addColumn<bool>("samePort");
        QTest::addColumn<bool>("serverAnswers");

        QTest::newRow("other port, server silent") << "127.0.0.1" << false << false;
        QTest::newRow("other port, server answers") << "127.0.0.1" << false << true;
        QTest::newRow("other address, server silent") << "127.0.0.2" << true << false;
        QTest::newRow("other address, server answers") << "127.0.0.2" << true << true;
    }

    void repliesFromElsewhereAreIgnored()
    {
        QFETCH(QString, fromAddress);
        QFETCH(bool, samePort);
        QFETCH(bool, serverAnswers);

        UdpResponder server;
        QVERIFY(server.isListening());
        server.addStrangerReply("999,999,999", QHostAddress(fromAddress), samePort ? server.port() : 0);
        if (serverAnswers)
            server.setReply(QByteArray("100,200,300"));
        else
            server.setReply(std::nullopt);

        UpdateChecker checker("127.0.0.1", server.port(), shortTimeoutMs);
        QCOMPARE(checker.checkUpdate(), serverAnswers);
        QCOMPARE(checker.getClientStableVersion(), serverAnswers ? QByteArray("100") : QByteArray());
        QCOMPARE(checker.getClientAlphaVersion(), serverAnswers ? QByteArray("300") : QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"
