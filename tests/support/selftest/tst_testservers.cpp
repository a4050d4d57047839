#include "httptestserver.h"
#include "nginxserver.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

struct Fetched
{
    bool finished = false;
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    QByteArray location;
};

// The program's managers never follow redirects.
std::unique_ptr<QNetworkAccessManager> makeManager()
{
    auto manager = std::make_unique<QNetworkAccessManager>();
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    return manager;
}

Fetched fetch(QNetworkAccessManager& manager, const QUrl& url, int timeoutMs = 5000)
{
    Fetched result;
    QNetworkReply* reply = manager.get(QNetworkRequest(url));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    result.finished = finished.wait(timeoutMs);
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.error = reply->error();
    result.body = reply->readAll();
    result.location = reply->rawHeader("Location");
    reply->deleteLater();
    return result;
}

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    return bytes;
}

} // namespace

class TestServers : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void stallsUntilResumed();
    void sequencesTrickleAndLog();
    void servesDirectoryStreaming();
    void nginxServesAndLogs();
};

void TestServers::answers_data()
{
    QTest::addColumn<HttpTestRule>("rule");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("body");

    const QByteArray data = pattern(10000);
    HttpTestRule chunked = HttpTestRule::ok(data);
    chunked.framing = HttpTestRule::Framing::Chunked;
    HttpTestRule unannounced = HttpTestRule::ok(data);
    unannounced.framing = HttpTestRule::Framing::CloseDelimited;
    HttpTestRule overAnnounced = HttpTestRule::ok("12345");
    overAnnounced.announcedLength = 10;
    overAnnounced.cutAfterBytes = 5;

    QTest::newRow("200 with length") << HttpTestRule::ok(data) << 200 << int(QNetworkReply::NoError) << data;
    QTest::newRow("200 chunked") << chunked << 200 << int(QNetworkReply::NoError) << data;
    QTest::newRow("200 ended by close") << unannounced << 200 << int(QNetworkReply::NoError) << data;
    QTest::newRow("empty body") << HttpTestRule::ok(QByteArray()) << 200 << int(QNetworkReply::NoError) << QByteArray();
    QTest::newRow("206") << HttpTestRule::statusCode(206, "part") << 206 << int(QNetworkReply::NoError) << QByteArray("part");
    QTest::newRow("404") << HttpTestRule::statusCode(404, "x") << 404 << int(QNetworkReply::ContentNotFoundError) << QByteArray("x");
    QTest::newRow("500") << HttpTestRule::statusCode(500) << 500 << int(QNetworkReply::InternalServerError) << QByteArray();
    QTest::newRow("302 not followed") << HttpTestRule::redirect("/elsewhere") << 302 << int(QNetworkReply::NoError)
                                      << QByteArray("moved\n");
    QTest::newRow("401 basic") << HttpTestRule::authRequired() << 401
                               << int(QNetworkReply::AuthenticationRequiredError) << QByteArray("authentication required\n");
    QTest::newRow("cut short") << HttpTestRule::cutShort(data, 4096) << 200
                               << int(QNetworkReply::RemoteHostClosedError) << data.left(4096);
    QTest::newRow("announced more") << overAnnounced << 200 << int(QNetworkReply::RemoteHostClosedError)
                                    << QByteArray("12345");
    QTest::newRow("wrong bytes") << HttpTestRule::corrupted("abc") << 200 << int(QNetworkReply::NoError) << QByteArray("\x9e" "bc");
}

void TestServers::answers()
{
    QFETCH(HttpTestRule, rule);
    QFETCH(int, status);
    QFETCH(int, error);
    QFETCH(QByteArray, body);

    HttpTestServer server;
    QVERIFY(server.isListening());
    server.setRule(QStringLiteral("/7/file.bin"), rule);
    server.setRule(QStringLiteral("/elsewhere"), HttpTestRule::ok("followed"));
    auto manager = makeManager();

    const Fetched got = fetch(*manager, server.url(QStringLiteral("/7/file.bin")));
    QVERIFY(got.finished);
    QCOMPARE(got.status, status);
    QCOMPARE(int(got.error), error);
    QCOMPARE(got.body, body);
    if (status == 302)
        QCOMPARE(got.location, QByteArray("/elsewhere"));
    if (rule.framing == HttpTestRule::Framing::CloseDelimited) {
        // Qt may send such a request a second time when it sees the close
        // race the end of the body; every request is still for the file.
        QVERIFY(!server.requestLog().isEmpty());
        QCOMPARE(server.requestLog().count(QStringLiteral("/7/file.bin")), server.requestLog().size());
    } else {
        QCOMPARE(server.requestLog(), QStringList { QStringLiteral("/7/file.bin") });
    }
}

void TestServers::stallsUntilResumed()
{
    HttpTestServer server;
    const QByteArray data = pattern(3000);
    server.setRule(QStringLiteral("/quiet"), HttpTestRule::stallBeforeHeaders(data));
    server.setRule(QStringLiteral("/half"), HttpTestRule::stallAfterHeaders(data, 1000));
    auto manager = makeManager();

    QNetworkReply* quiet = manager->get(QNetworkRequest(server.url(QStringLiteral("/quiet"))));
    QNetworkReply* half = manager->get(QNetworkRequest(server.url(QStringLiteral("/half"))));
    QSignalSpy quietMeta(quiet, &QNetworkReply::metaDataChanged);
    QSignalSpy halfFinished(half, &QNetworkReply::finished);

    QTRY_COMPARE_WITH_TIMEOUT(half->bytesAvailable(), qint64(1000), 5000);
    QCOMPARE(half->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    QCOMPARE(server.stalledCount(), 2);
    QTest::qWait(200); // nothing more comes while stalled
    QCOMPARE(quietMeta.count(), 0);
    QVERIFY(!quiet->isFinished());
    QCOMPARE(halfFinished.count(), 0);
    QCOMPARE(half->bytesAvailable(), qint64(1000));

    server.resumeStalled(QStringLiteral("/half"));
    QVERIFY(halfFinished.wait(5000));
    QCOMPARE(half->readAll(), data);
    QVERIFY(!quiet->isFinished());

    // A client that gives up leaves no stalled response behind.
    quiet->abort();
    QTRY_COMPARE_WITH_TIMEOUT(server.stalledCount(), 0, 5000);
    delete quiet;
    delete half;

    // No stall outlives the server's limit: the connection is dropped.
    server.setMaxStallMs(100);
    const Fetched dropped = fetch(*manager, server.url(QStringLiteral("/quiet")));
    QVERIFY(dropped.finished);
    QVERIFY(dropped.error != QNetworkReply::NoError);
    QCOMPARE(server.stalledCount(), 0);
}

void TestServers::sequencesTrickleAndLog()
{
    HttpTestServer server;
    const QByteArray data = pattern(200);
    server.setRules(QStringLiteral("/a"),
        { HttpTestRule::statusCode(500), HttpTestRule::trickle(data, 50, 10) });
    auto manager = makeManager();

    QCOMPARE(fetch(*manager, server.url(QStringLiteral("/a"))).status, 500);
    QCOMPARE(fetch(*manager, server.url(QStringLiteral("/b"))).status, 404);

    QNetworkReply* reply = manager->get(QNetworkRequest(server.url(QStringLiteral("/a"))));
    QSignalSpy readyRead(reply, &QNetworkReply::readyRead);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(5000));
    QCOMPARE(reply->readAll(), data);
    QVERIFY(readyRead.count() > 1); // it came in pieces
    delete reply;

    // The last rule of a sequence repeats.
    QCOMPARE(fetch(*manager, server.url(QStringLiteral("/a"))).body, data);
    QCOMPARE(server.requestLog(),
        QStringList({ QStringLiteral("/a"), QStringLiteral("/b"), QStringLiteral("/a"), QStringLiteral("/a") }));
    QCOMPARE(server.requestCount(QStringLiteral("/a")), 3);
    QCOMPARE(server.requestCount(QStringLiteral("/b")), 1);
    QCOMPARE(server.totalRequestCount(), 4);
}

void TestServers::servesDirectoryStreaming()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("7/sub dir")));
    const QByteArray data = pattern(3 * 1024 * 1024 + 17);
    QFile file(root.path() + QStringLiteral("/7/sub dir/big.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), qint64(data.size()));
    file.close();

    HttpTestServer server;
    server.setRootDirectory(root.path());
    auto manager = makeManager();

    const Fetched got = fetch(*manager, server.url(QStringLiteral("/7/sub%20dir/big.bin")), 20000);
    QVERIFY(got.finished);
    QCOMPARE(got.status, 200);
    QVERIFY(got.body == data);
    QCOMPARE(server.requestCount(QStringLiteral("/7/sub dir/big.bin")), 1);
    QCOMPARE(fetch(*manager, server.url(QStringLiteral("/7/missing.bin"))).status, 404);
    QCOMPARE(fetch(*manager, server.url(QStringLiteral("/7"))).status, 404); // a directory is no file
}

void TestServers::nginxServesAndLogs()
{
    KR3_SKIP_WITHOUT_NGINX();
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("7")));
    const QByteArray data = pattern(100000);
    QFile file(root.path() + QStringLiteral("/7/file.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), qint64(data.size()));
    file.close();

    NginxServer nginx(root.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
    auto manager = makeManager();

    const Fetched got = fetch(*manager, nginx.url(QStringLiteral("/7/file.bin")));
    QCOMPARE(got.status, 200);
    QVERIFY(got.body == data);
    QCOMPARE(fetch(*manager, nginx.url(QStringLiteral("/7/none.bin"))).status, 404);

    QVERIFY(nginx.waitForRequestCount(QStringLiteral("/7/file.bin"), 1));
    QVERIFY(nginx.waitForRequestCount(QStringLiteral("/7/none.bin"), 1));
    QCOMPARE(nginx.accessLogLines().size(), 2);
    QVERIFY(nginx.accessLogLines().contains(QStringLiteral("GET /7/file.bin 200 100000")));

    const qint64 pid = nginx.pid();
    QVERIFY(pid > 0);
    nginx.stop();
    QVERIFY(!nginx.isRunning());
    QVERIFY(!QFile::exists(QStringLiteral("/proc/%1").arg(pid)));
}

QTEST_MAIN(TestServers)
#include "tst_testservers.moc"
