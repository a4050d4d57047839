#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"

#include "contexttranslator.h"
#include "httptestserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int WaitMs = 10000;

QString ctx(const char* text)
{
    return ContextTranslator::tagged("DownloadTaskSpecification", QString::fromUtf8(text));
}

// 16 KiB that differ from position to position.
QByteArray body16k()
{
    QByteArray data(16 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return data;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

// A server, a manager that leaves redirects to us (as the engine's does),
// a pool whose mirrors point at the server, and a directory for the files.
struct Fixture
{
    HttpTestServer server;
    QNetworkAccessManager manager;
    Mirrors pool;
    QTemporaryDir dir;

    Fixture() { manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy); }

    // A mirror on the test server whose files lie below 'path'. Mirrors
    // that share a path share the server's rules for their files.
    FTPSiteAccessData mirror(const QString& name, const QString& path = QStringLiteral("/7"), int maxUseCount = 1,
                             int retries = 5) const
    {
        FTPSiteAccessData m;
        m.name = name;
        m.url = server.baseUrl() + path;
        m.maxUseCount = maxUseCount;
        m.retries = retries;
        return m;
    }

    const FTPSiteAccessData* record(const QString& name) const
    {
        const int index = pool.getMirrorIndex(name);
        return index < 0 ? nullptr : &pool.getMirrorList().at(index);
    }

    int useCount(const QString& name) const { return record(name) ? record(name)->useCount : -1; }
    int errorCount(const QString& name) const { return record(name) ? record(name)->errorCount : -1; }

    std::unique_ptr<DownloadTaskSpecification> task(const QString& remotePath, qint64 expectedSize = -1,
                                                    const QString& localName = QString())
    {
        const QString local = dir.filePath(localName.isEmpty() ? QStringLiteral("out.bin") : localName);
        return std::make_unique<DownloadTaskSpecification>(&manager, &pool, remotePath, local, expectedSize,
                                                           nullptr, 1.0);
    }

    // Lets the event loop run a little, for things that must not happen.
    static void settle() { QTest::qWait(100); }
};

// The signals of one task.
struct Watch
{
    explicit Watch(DownloadTaskSpecification* t)
        : finished(t, &TaskSpecification::finished)
        , canceled(t, &TaskSpecification::canceled)
        , errors(t, &TaskSpecification::error)
        , messages(t, &TaskSpecification::message)
        , progress(t, &TaskSpecification::updateProgress)
    {
    }

    QStringList messageTexts() const
    {
        QStringList texts;
        for (const QList<QVariant>& args : messages)
            texts << args.at(0).toString();
        return texts;
    }
    QStringList errorTexts() const
    {
        QStringList texts;
        for (const QList<QVariant>& args : errors)
            texts << args.at(0).toString();
        return texts;
    }
    QList<double> progressValues() const
    {
        QList<double> values;
        for (const QList<QVariant>& args : progress)
            values << args.at(0).toDouble();
        return values;
    }

    QSignalSpy finished;
    QSignalSpy canceled;
    QSignalSpy errors;
    QSignalSpy messages;
    QSignalSpy progress;
};

struct Tick
{
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
};

// One progress tick as the engine gives it: fresh zeroed values.
Tick tick(DownloadTaskSpecification& task)
{
    Tick t;
    task.timeTick(t.done, t.total, t.speed, t.downloading);
    return t;
}

bool ended(const DownloadTaskSpecification& task)
{
    return task.state == TaskSpecification::Finished || task.state == TaskSpecification::ErrorCanceled
        || task.state == TaskSpecification::UserCanceled;
}

} // namespace

class TestDownloadTask : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void downloadsFile_data();
    void downloadsFile();
    void badAnswerRetiresMirror_data();
    void badAnswerRetiresMirror();
    void failedTransferIsRetried_data();
    void failedTransferIsRetried();
    void poolEmptiedByFailuresEndsTask();
    void stallIsAbandoned_data();
    void stallIsAbandoned();
    void tickFigures_data();
    void tickFigures();
    void waitsForSlot();
    void waitingTaskWakesWhenHolderLetsGo_data();
    void waitingTaskWakesWhenHolderLetsGo();
    void cancelDuringTransfer();
    void leavingTheWait_data();
    void leavingTheWait();
    void unwritableLocalFile();
    void writeErrorIsChargedToMirror();
    void destroyedDuringTransfer_data();
    void destroyedDuringTransfer();

private:
    ContextTranslator translator;
};

void TestDownloadTask::initTestCase()
{
    QCoreApplication::installTranslator(&translator);
}

void TestDownloadTask::downloadsFile_data()
{
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<int>("framing");
    // Progress values pushed, the last one from finish().
    QTest::addColumn<QList<double>>("progress");
    QTest::addColumn<quint64>("totalAtEnd");

    const auto length = static_cast<int>(HttpTestRule::Framing::ContentLength);
    const auto chunked = static_cast<int>(HttpTestRule::Framing::Chunked);
    const QList<double> quarters{ 0.25, 0.5, 0.75, 1.0, 1.0 };

    QTest::newRow("size given") << qint64(16384) << length << quarters << quint64(16384);
    QTest::newRow("size given, none announced") << qint64(16384) << chunked << quarters << quint64(16384);
    QTest::newRow("size 0: nothing until the end") << qint64(0) << length << QList<double>{ 1.0 } << quint64(0);
    // The size is learned from the transfer's progress reports, which the
    // network layer sends at most every so often, at the latest at the end
    // (then with the received length when none was announced): the chunks
    // before push nothing. An empty list: any tail of the quarters.
    QTest::newRow("size learned") << qint64(-1) << length << QList<double>() << quint64(16384);
    QTest::newRow("size not announced") << qint64(-1) << chunked << QList<double>() << quint64(16384);
}

void TestDownloadTask::downloadsFile()
{
    QFETCH(qint64, expectedSize);
    QFETCH(int, framing);
    QFETCH(QList<double>, progress);
    QFETCH(quint64, totalAtEnd);

    Fixture f;
    f.pool.initFromList({ f.mirror(QStringLiteral("main"), QStringLiteral("/7"), 3) });
    const QByteArray body = body16k();
    // One 4 KiB piece at a time, so each read moves a whole chunk.
    HttpTestRule rule = HttpTestRule::trickle(body, 4096, 5);
    rule.framing = static_cast<HttpTestRule::Framing>(framing);
    f.server.setRule(QStringLiteral("/7/data/file 1.bin"), rule);

    auto task = f.task(QStringLiteral("data/file 1.bin"), expectedSize);
    Watch w(task.get());
    task->execute();
    QCOMPARE(task->state, TaskSpecification::Running);
    QTRY_VERIFY_WITH_TIMEOUT(ended(*task), WaitMs);

    QCOMPARE(task->state, TaskSpecification::Finished);
    QCOMPARE(w.finished.count(), 1);
    QCOMPARE(w.canceled.count(), 0);
    QCOMPARE(w.errors.count(), 0);
    QCOMPARE(w.messageTexts(), QStringList({ ctx("Downloading %1").arg(u"data/file 1.bin"),
                                             ctx("Downloading %1 finished").arg(u"data/file 1.bin") }));
    QCOMPARE(readFile(f.dir.filePath(QStringLiteral("out.bin"))), body);

    const QList<double> pushed = w.progressValues();
    if (progress.isEmpty()) {
        QVERIFY2(!pushed.isEmpty() && pushed.size() <= 5, qPrintable(QString::number(pushed.size())));
        QCOMPARE(pushed, QList<double>({ 0.25, 0.5, 0.75, 1.0, 1.0 }).mid(5 - pushed.size()));
    } else {
        QCOMPARE(pushed, progress);
    }

    // A plain GET below the mirror's base URL.
    QCOMPARE(f.server.requestLog(), QStringList{ QStringLiteral("/7/data/file 1.bin") });
    const HttpTestRequest request = f.server.requests().at(0);
    QCOMPARE(request.method, QByteArray("GET"));
    QVERIFY(request.header("range").isEmpty());

    // The slot is back, the mirror's name is kept for a later check.
    QCOMPARE(f.useCount(QStringLiteral("main")), 0);
    QCOMPARE(task->getMirror().name, QStringLiteral("main"));

    const Tick t = tick(*task);
    QCOMPARE(t.done, quint64(body.size()));
    QCOMPARE(t.total, totalAtEnd);
    QVERIFY(!t.downloading);
}

void TestDownloadTask::badAnswerRetiresMirror_data()
{
    QTest::addColumn<HttpTestRule>("rule");
    QTest::addColumn<int>("status");

    QTest::newRow("404") << HttpTestRule::statusCode(404, "gone\n") << 404;
    QTest::newRow("500") << HttpTestRule::statusCode(500) << 500;
    QTest::newRow("206 partial content") << HttpTestRule::statusCode(206, "part") << 206;
    // Not followed: the target is never asked for.
    QTest::newRow("302 redirect") << HttpTestRule::redirect("/elsewhere/f.bin") << 302;
    QTest::newRow("401 authentication") << HttpTestRule::authRequired() << 401;
}

void TestDownloadTask::badAnswerRetiresMirror()
{
    QFETCH(HttpTestRule, rule);
    QFETCH(int, status);

    // Two mirrors on the same directory: whichever is drawn first gets the
    // bad answer, the other one the file.
    Fixture f;
    f.pool.initFromList({ f.mirror(QStringLiteral("one")), f.mirror(QStringLiteral("two")) });
    const QByteArray body = body16k();
    f.server.setRules(QStringLiteral("/7/f.bin"), { rule, HttpTestRule::ok(body) });
    f.server.setRule(QStringLiteral("/elsewhere/f.bin"), HttpTestRule::ok(body));
    // An attempt writes the file from byte 0, whatever it held.
    const QString local = f.dir.filePath(QStringLiteral("out.bin"));
    writeFile(local, QByteArray(40000, 'x'));

    auto task = f.task(QStringLiteral("f.bin"), body.size());
    Watch w(task.get());
    task->execute();
    QTRY_VERIFY_WITH_TIMEOUT(ended(*task), WaitMs);

    QCOMPARE(task->state, TaskSpecification::Finished);
    QCOMPARE(readFile(local), body);
    QCOMPARE(f.server.requestCount(QStringLiteral("/7/f.bin")), 2);
    QCOMPARE(f.server.requestCount(QStringLiteral("/elsewhere/f.bin")), 0);
    QCOMPARE(w.errors.count(), 0);

    // The mirror of the bad answer is gone at once; the other served.
    QCOMPARE(f.pool.getMirrorList().size(), 1);
    const QString survivor = f.pool.getMirrorList().at(0).name;
    QCOMPARE(task->getMirror().name, survivor);
    QCOMPARE(f.errorCount(survivor), 0);
    QCOMPARE(f.useCount(survivor), 0);

    const QStringList messages = w.messageTexts();
    QCOMPARE(messages.size(), 3);
    QCOMPARE(messages.at(1), ctx("%1 returned %2").arg(f.server.baseUrl() + QStringLiteral("/7/f.bin")).arg(status));
}

void TestDownloadTask::failedTransferIsRetried_data()
{
    QTest::addColumn<HttpTestRule>("firstAnswer");

    // More bytes than the file has: the next attempt must not build on them.
    QTest::newRow("body cut short") << HttpTestRule::cutShort(QByteArray(40000, 'x'), 30000);
    // The server sends the headers, then gives up and drops the connection.
    QTest::newRow("connection dropped") << HttpTestRule::stallAfterHeaders(body16k(), 0);
}

void TestDownloadTask::failedTransferIsRetried()
{
    QFETCH(HttpTestRule, firstAnswer);

    Fixture f;
    f.server.setMaxStallMs(50);
    // One mirror: the failed one is drawn again, with one failure counted.
    f.pool.initFromList({ f.mirror(QStringLiteral("only")) });
    const QByteArray body = body16k();
    f.server.setRules(QStringLiteral("/7/f.bin"), { firstAnswer, HttpTestRule::ok(body) });

    auto task = f.task(QStringLiteral("f.bin"), body.size());
    Watch w(task.get());
    task->execute();
    QTRY_VERIFY_WITH_TIMEOUT(ended(*task), WaitMs);

    QCOMPARE(task->state, TaskSpecification::Finished);
    QCOMPARE(readFile(f.dir.filePath(QStringLiteral("out.bin"))), body);
    QCOMPARE(f.server.requestCount(QStringLiteral("/7/f.bin")), 2);
    QCOMPARE(f.errorCount(QStringLiteral("only")), 1);
    QCOMPARE(f.useCount(QStringLiteral("only")), 0);
    // The reason goes to the log only.
    QCOMPARE(w.errors.count(), 0);
    const QStringList messages = w.messageTexts();
    QCOMPARE(messages.size(), 3);
    QVERIFY(!messages.at(1).isEmpty());
}

void TestDownloadTask::poolEmptiedByFailuresEndsTask()
{
    Fixture f;
    // Nothing listens on this port: every attempt fails to connect.
    quint16 deadPort = 0;
    {
        HttpTestServer gone;
        deadPort = gone.port();
    }
    FTPSiteAccessData dead = f.mirror(QStringLiteral("dead"), QString(), 1, 2);
    dead.url = QStringLiteral("http://127.0.0.1:%1/7").arg(deadPort);
    f.pool.initFromList({ dead, f.mirror(QStringLiteral("missing")) });
    QSignalSpy poolMessages(&f.pool, &Mirrors::message);

    auto task = f.task(QStringLiteral("f.bin"), 100);
    Watch w(task.get());
    task->execute();
    QTRY_VERIFY_WITH_TIMEOUT(ended(*task), WaitMs);

    QCOMPARE(task->state, TaskSpecification::ErrorCanceled);
    QCOMPARE(w.canceled.count(), 1);
    QCOMPARE(w.finished.count(), 0);
    QCOMPARE(w.errors.count(), 0);
    QVERIFY(f.pool.getMirrorList().isEmpty());
    // "dead" failed three times (retries 2), "missing" answered 404 once.
    QCOMPARE(f.server.requestCount(QStringLiteral("/7/f.bin")), 1);
    QCOMPARE(w.messageTexts().size(), 1 + 3 + 1);
    QCOMPARE(poolMessages.count(), 2);
    QCOMPARE(poolMessages.last().at(0).toString(),
             ContextTranslator::tagged("Mirrors", QStringLiteral("There are no (more) known working mirrors available")));
}

void TestDownloadTask::stallIsAbandoned_data()
{
    QTest::addColumn<int>("ticksBeforeData"); // -1: no data at all in the first attempt

    QTest::newRow("no data") << -1;
    QTest::newRow("data on tick 15") << 15;
}

void TestDownloadTask::stallIsAbandoned()
{
    QFETCH(int, ticksBeforeData);

    Fixture f;
    f.pool.initFromList({ f.mirror(QStringLiteral("slow")) });
    const QByteArray body = body16k();
    const QString path = QStringLiteral("/7/f.bin");
    // First request: nothing, then (once resumed) 4 KiB and nothing more
    // for a minute. Second request: the file.
    HttpTestRule first = HttpTestRule::trickle(body, 4096, 60000);
    first.stall = HttpTestRule::Stall::BeforeHeaders;
    f.server.setRules(path, { first, HttpTestRule::ok(body) });

    auto task = f.task(QStringLiteral("f.bin"), body.size());
    Watch w(task.get());
    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(f.server.stalledCount(), 1, WaitMs);

    if (ticksBeforeData > 0) {
        for (int i = 1; i <= ticksBeforeData; ++i)
            QVERIFY2(tick(*task).downloading, qPrintable(QString::number(i)));
        f.server.resumeStalled();
        QTRY_COMPARE_WITH_TIMEOUT(w.progressValues().value(0), 0.25, WaitMs);
    }

    // The count runs from the last data: 15 ticks are tolerated...
    for (int i = 1; i <= 15; ++i) {
        const Tick t = tick(*task);
        QVERIFY2(t.downloading, qPrintable(QString::number(i)));
    }
    QCOMPARE(f.server.requestCount(path), 1);
    QCOMPARE(f.errorCount(QStringLiteral("slow")), 0);

    // ...the 16th abandons the transfer and starts a new attempt.
    const Tick t = tick(*task);
    QVERIFY(!t.downloading);
    QCOMPARE(w.messageTexts().value(1), ctx("file %1 timed out on mirror %2").arg(u"f.bin", u"slow"));
    QCOMPARE(f.errorCount(QStringLiteral("slow")), 1);

    QTRY_VERIFY_WITH_TIMEOUT(ended(*task), WaitMs);
    QCOMPARE(task->state, TaskSpecification::Finished);
    QCOMPARE(f.server.requestCount(path), 2);
    QCOMPARE(readFile(f.dir.filePath(QStringLiteral("out.bin"))), body);
    QCOMPARE(w.errors.count(), 0);
}

void TestDownloadTask::tickFigures_data()
{
    QTest::addColumn<int>("framing");
    QTest::addColumn<quint64>("totalWhileRunning");

    QTest::newRow("size announced") << static_cast<int>(HttpTestRule::Framing::ContentLength) << quint64(16384);
    QTest::newRow("no size announced") << static_cast<int>(HttpTestRule::Framing::Chunked) << quint64(0);
}

void TestDownloadTask::tickFigures()
{
    QFETCH(int, framing);
    QFETCH(quint64, totalWhileRunning);

    Fixture f;
    f.pool.initFromList({ f.mirror(QStringLiteral("m")) });
    const QByteArray body = body16k();
    // Nothing at first; once resumed the headers and 4 KiB, then nothing
    // for a minute.
    HttpTestRule rule = HttpTestRule::trickle(body, 4096, 60000);
    rule.stall = HttpTestRule::Stall::BeforeHeaders;
    rule.framing = static_cast<HttpTestRule::Framing>(framing);
    f.server.setRule(QStringLiteral("/7/f.bin"), rule);

    auto task = f.task(QStringLiteral("f.bin"), -1);

    Tick t = tick(*task);
    QVERIFY(!t.downloading); // not started

    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(f.server.stalledCount(), 1, WaitMs);
    t = tick(*task);
    QCOMPARE(t.done, quint64(0));
    QCOMPARE(t.total, quint64(0)); // no size yet
    QCOMPARE(t.speed, quint64(0));
    QVERIFY(t.downloading); // a reply is held, even before any data

    // The network layer reports progress at most every 100 ms or so; let
    // the first data come later than that, so the size can be learned.
    QTest::qWait(200);
    f.server.resumeStalled();
    QTRY_COMPARE_WITH_TIMEOUT(tick(*task).done, quint64(4096), WaitMs);
    t = tick(*task);
    QCOMPARE(t.done, quint64(4096));
    QCOMPARE(t.total, totalWhileRunning);
    QCOMPARE(t.speed, quint64(0)); // nothing since the previous tick
    QVERIFY(t.downloading);

    // Without a reply the flag stays down; the figures restart with the
    // attempt.
    task->userCanceled();
    t = tick(*task);
    QVERIFY(!t.downloading);
    QCOMPARE(t.done, quint64(0));
    QCOMPARE(t.total, quint64(0));
    QCOMPARE(t.speed, quint64(0));
}

void TestDownloadTask::waitsForSlot()
{
    // Two mirrors with one slot each, three tasks: the third waits.
    Fixture f;
    f.pool.initFromList({ f.mirror(QStringLiteral("a")), f.mirror(QStringLiteral("b")) });
    const QByteArray body = body16k();
    for (const char* name : { "/7/1.bin", "/7/2.bin" })
        f.server.setRule(QString::fromLatin1(name), HttpTestRule::stallAfterHeaders(body, 0));
    f.server.setRule(QStringLiteral("/7/3.bin"), HttpTestRule::ok(body));
    f.server.setRule(QStringLiteral("/banner.png"), HttpTestRule::ok("png"));

    auto t1 = f.task(QStringLiteral("1.bin"), body.size(), QStringLiteral("1.bin"));
    auto t2 = f.task(QStringLiteral("2.bin"), body.size(), QStringLiteral("2.bin"));
    auto t3 = f.task(QStringLiteral("3.bin"), body.size(), QStringLiteral("3.bin"));
    t1->execute();
    t2->execute();
    t3->execute();
    QCOMPARE(t3->state, TaskSpecification::Running);
    QTRY_COMPARE_WITH_TIMEOUT(f.server.stalledCount(), 2, WaitMs);
    QVERIFY(!tick(*t3).downloading);

    // Another reply of the manager wakes it; with no free slot it waits on.
    QNetworkReply* other = f.manager.get(QNetworkRequest(f.server.url(QStringLiteral("/banner.png"))));
    QSignalSpy otherDone(other, &QNetworkReply::finished);
    QVERIFY(otherDone.wait(WaitMs));
    Fixture::settle();
    QCOMPARE(f.server.requestCount(QStringLiteral("/7/3.bin")), 0);
    QCOMPARE(t3->state, TaskSpecification::Running);
    other->deleteLater();

    // One transfer ends: the waiting task draws the freed slot.
    f.server.resumeStalled(QStringLiteral("/7/1.bin"));
    QTRY_COMPARE_WITH_TIMEOUT(t3->state, TaskSpecification::Finished, WaitMs);
    QCOMPARE(t1->state, TaskSpecification::Finished);
    QCOMPARE(t3->getMirror().name, t1->getMirror().name);
    QCOMPARE(readFile(f.dir.filePath(QStringLiteral("3.bin"))), body);

    f.server.resumeStalled();
    QTRY_COMPARE_WITH_TIMEOUT(t2->state, TaskSpecification::Finished, WaitMs);
    QCOMPARE(f.useCount(QStringLiteral("a")) + f.useCount(QStringLiteral("b")), 0);
}

void TestDownloadTask::waitingTaskWakesWhenHolderLetsGo_data()
{
    QTest::addColumn<QString>("holderEnds");
    QTest::addColumn<int>("waiterEnd");

    // The holder's transfer is dropped, not finished, so the manager
    // reports no finished reply; the waiter must still learn that the slot
    // is free...
    QTest::newRow("holder canceled") << u"cancel"_s << static_cast<int>(TaskSpecification::Finished);
    // ...or that the pool is empty.
    QTest::newRow("bad status retires the mirror") << u"status"_s << static_cast<int>(TaskSpecification::ErrorCanceled);
    QTest::newRow("stall retires the mirror") << u"stall"_s << static_cast<int>(TaskSpecification::ErrorCanceled);
}

void TestDownloadTask::waitingTaskWakesWhenHolderLetsGo()
{
    QFETCH(QString, holderEnds);
    QFETCH(int, waiterEnd);

    // One mirror with one slot, as on the alpha channel; no failure is
    // tolerated.
    Fixture f;
    f.pool.initFromList({ f.mirror(QStringLiteral("alpha"), QStringLiteral("/7"), 1, 0) });
    const QByteArray body = body16k();
    // The holder's reply never ends by itself.
    HttpTestRule stalled = HttpTestRule::stallAfterHeaders(body, 0);
    if (holderEnds == u"status")
        stalled.status = 404;
    f.server.setRule(QStringLiteral("/7/1.bin"), stalled);
    f.server.setRule(QStringLiteral("/7/2.bin"), HttpTestRule::ok(body));

    auto holder = f.task(QStringLiteral("1.bin"), body.size(), QStringLiteral("1.bin"));
    auto waiter = f.task(QStringLiteral("2.bin"), body.size(), QStringLiteral("2.bin"));
    Watch waiterWatch(waiter.get());
    holder->execute();
    waiter->execute();
    QCOMPARE(f.useCount(QStringLiteral("alpha")), 1);

    if (holderEnds == u"cancel") {
        QTRY_COMPARE_WITH_TIMEOUT(f.server.stalledCount(), 1, WaitMs);
        holder->userCanceled();
    } else if (holderEnds == u"stall") {
        QTRY_COMPARE_WITH_TIMEOUT(f.server.stalledCount(), 1, WaitMs);
        for (int i = 0; i < 16; ++i)
            tick(*holder);
    }
    QTRY_VERIFY_WITH_TIMEOUT(ended(*waiter), WaitMs);
    QCOMPARE(static_cast<int>(waiter->state), waiterEnd);
    QCOMPARE(holder->state,
             holderEnds == u"cancel" ? TaskSpecification::UserCanceled : TaskSpecification::ErrorCanceled);
    QCOMPARE(waiterWatch.errors.count(), 0);
    QCOMPARE(f.server.requestCount(QStringLiteral("/7/2.bin")), holderEnds == u"cancel" ? 1 : 0);
}

void TestDownloadTask::cancelDuringTransfer()
{
    Fixture f;
    f.pool.initFromList({ f.mirror(QStringLiteral("m"), QStringLiteral("/7"), 3) });
    const QByteArray body = body16k();
    f.server.setRule(QStringLiteral("/7/f.bin"), HttpTestRule::stallAfterHeaders(body, 4096));

    auto task = f.task(QStringLiteral("f.bin"), body.size());
    Watch w(task.get());
    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(w.progressValues().value(0), 0.25, WaitMs);

    // The reply buffers only a bounded amount ahead of the reads.
    const QList<QNetworkReply*> replies = f.manager.findChildren<QNetworkReply*>();
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.at(0)->readBufferSize(), DownloadTaskSpecification::ReplyReadBufferSize);

    task->userCanceled();
    QCOMPARE(task->state, TaskSpecification::UserCanceled);
    QVERIFY(task->userCancelRequested);
    QCOMPARE(w.canceled.count(), 1);
    QCOMPARE(w.finished.count(), 0);
    QCOMPARE(w.errors.count(), 0);
    QCOMPARE(f.useCount(QStringLiteral("m")), 0);
    QCOMPARE(f.errorCount(QStringLiteral("m")), 0);
    QVERIFY(!tick(*task).downloading);
    // The transfer is dropped; the file keeps what was written.
    QTRY_COMPARE_WITH_TIMEOUT(f.server.stalledCount(), 0, WaitMs);
    QCOMPARE(readFile(f.dir.filePath(QStringLiteral("out.bin"))), body.left(4096));

    // A later cancel request changes nothing.
    task->userCanceled();
    QCOMPARE(w.canceled.count(), 1);
    QCOMPARE(f.useCount(QStringLiteral("m")), 0);
}

void TestDownloadTask::leavingTheWait_data()
{
    QTest::addColumn<bool>("cancel"); // else reset
    QTest::addColumn<int>("stateAfter");

    QTest::newRow("cancel") << true << static_cast<int>(TaskSpecification::UserCanceled);
    QTest::newRow("reset") << false << static_cast<int>(TaskSpecification::Ready);
}

void TestDownloadTask::leavingTheWait()
{
    QFETCH(bool, cancel);
    QFETCH(int, stateAfter);

    // A mirror with an empty name: giving back a slot by a null name would
    // hit it.
    Fixture f;
    f.pool.initFromList({ f.mirror(QStringLiteral("")) });
    const QByteArray body = body16k();
    f.server.setRule(QStringLiteral("/7/1.bin"), HttpTestRule::stallAfterHeaders(body, 0));
    f.server.setRule(QStringLiteral("/7/2.bin"), HttpTestRule::ok(body));

    auto holder = f.task(QStringLiteral("1.bin"), body.size(), QStringLiteral("1.bin"));
    auto waiter = f.task(QStringLiteral("2.bin"), body.size(), QStringLiteral("2.bin"));
    Watch w(waiter.get());
    holder->execute();
    waiter->execute();
    QTRY_COMPARE_WITH_TIMEOUT(f.server.stalledCount(), 1, WaitMs);

    if (cancel)
        waiter->userCanceled();
    else
        waiter->reset();
    QCOMPARE(static_cast<int>(waiter->state), stateAfter);
    QCOMPARE(w.canceled.count(), cancel ? 1 : 0);
    // The waiter held no slot and gave none back.
    QCOMPARE(f.useCount(QStringLiteral("")), 1);

    // The holder's transfer ends: no transfer starts for the waiter.
    f.server.resumeStalled();
    QTRY_COMPARE_WITH_TIMEOUT(holder->state, TaskSpecification::Finished, WaitMs);
    Fixture::settle();
    QCOMPARE(f.server.requestCount(QStringLiteral("/7/2.bin")), 0);
    QCOMPARE(static_cast<int>(waiter->state), stateAfter);
    QCOMPARE(f.useCount(QStringLiteral("")), 0);

    // A reset task can be run again.
    if (!cancel) {
        waiter->execute();
        QTRY_COMPARE_WITH_TIMEOUT(waiter->state, TaskSpecification::Finished, WaitMs);
        QCOMPARE(readFile(f.dir.filePath(QStringLiteral("2.bin"))), body);
    }
}

void TestDownloadTask::unwritableLocalFile()
{
    Fixture f;
    f.pool.initFromList({ f.mirror(QStringLiteral("m"), QStringLiteral("/7"), 3) });
    f.server.setRule(QStringLiteral("/7/f.bin"), HttpTestRule::ok("data"));
    const QString local = f.dir.filePath(QStringLiteral("no/such/dir/f.bin"));

    auto task = std::make_unique<DownloadTaskSpecification>(&f.manager, &f.pool, QStringLiteral("f.bin"), local,
                                                            4, nullptr, 1.0);
    Watch w(task.get());
    task->execute();

    // Ends at once; the mirror is not charged and gets its slot back.
    QCOMPARE(task->state, TaskSpecification::ErrorCanceled);
    QCOMPARE(w.errorTexts(), QStringList{ ctx("Unable to create file %1 for saving").arg(local) });
    QCOMPARE(w.canceled.count(), 1);
    QCOMPARE(f.useCount(QStringLiteral("m")), 0);
    QCOMPARE(f.errorCount(QStringLiteral("m")), 0);
    Fixture::settle();
    QCOMPARE(f.server.totalRequestCount(), 0);
}

void TestDownloadTask::writeErrorIsChargedToMirror()
{
    // /dev/full opens fine and refuses every write.
    if (!QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("/dev/full is not available");
    Fixture f;
    f.pool.initFromList({ f.mirror(QStringLiteral("m"), QStringLiteral("/7"), 3, 1) });
    f.server.setRule(QStringLiteral("/7/f.bin"), HttpTestRule::ok(body16k()));

    auto task = std::make_unique<DownloadTaskSpecification>(&f.manager, &f.pool, QStringLiteral("f.bin"),
                                                            QStringLiteral("/dev/full"), -1, nullptr, 1.0);
    Watch w(task.get());
    task->execute();
    QTRY_VERIFY_WITH_TIMEOUT(ended(*task), WaitMs);

    // Each failed write costs the mirror a failure; the second retires it.
    QCOMPARE(task->state, TaskSpecification::ErrorCanceled);
    QCOMPARE(f.server.requestCount(QStringLiteral("/7/f.bin")), 2);
    QVERIFY(f.pool.getMirrorList().isEmpty());
    QCOMPARE(w.errors.count(), 0);
    const QStringList messages = w.messageTexts();
    QCOMPARE(messages.size(), 3);
    QVERIFY(!messages.at(1).isEmpty());
    QCOMPARE(messages.at(2), messages.at(1));
}

void TestDownloadTask::destroyedDuringTransfer_data()
{
    QTest::addColumn<bool>("managerFirst");

    QTest::newRow("task destroyed") << false;
    QTest::newRow("manager destroyed first") << true;
}

void TestDownloadTask::destroyedDuringTransfer()
{
    QFETCH(bool, managerFirst);

    HttpTestServer server;
    auto manager = std::make_unique<QNetworkAccessManager>();
    Mirrors pool;
    QTemporaryDir dir;
    FTPSiteAccessData m;
    m.name = QStringLiteral("m");
    m.url = server.baseUrl() + QStringLiteral("/7");
    pool.initFromList({ m });
    server.setRule(QStringLiteral("/7/f.bin"), HttpTestRule::stallAfterHeaders(body16k(), 0));

    auto task = std::make_unique<DownloadTaskSpecification>(manager.get(), &pool, QStringLiteral("f.bin"),
                                                            dir.filePath(QStringLiteral("f.bin")), -1, nullptr, 1.0);
    task->execute();
    QTRY_COMPARE_WITH_TIMEOUT(server.stalledCount(), 1, WaitMs);

    if (managerFirst)
        manager.reset();
    task.reset();
    // The transfer is dropped.
    QTRY_COMPARE_WITH_TIMEOUT(server.stalledCount(), 0, WaitMs);
}

QTEST_GUILESS_MAIN(TestDownloadTask)
#include "tst_downloadtask.moc"
