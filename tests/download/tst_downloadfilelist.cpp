#include "app/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/downloadfiletaskspecification.h"
#include "download/mirrors.h"
#include "manifest/checksignaturetaskspecification.h"

#include "contexttranslator.h"
#include "httptestserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "poolgate.h"
#include <QThreadPool>

#include <memory>

namespace {

QByteArray contentOf(const QString& fileName)
{
    return QByteArray("content of ") + fileName.toUtf8();
}

FileDownloadSpecification entry(const QString& fileName)
{
    const QByteArray content = contentOf(fileName);
    return {QStringLiteral("files"), fileName,
            QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex()),
            quint64(content.size())};
}

QString serverPath(const QString& fileName)
{
    return QStringLiteral("/7/files/") + fileName;
}

// The texts carry their translation context (ContextTranslator).
QString listText(const QString& text)
{
    return ContextTranslator::tagged("DownloadFileListTaskSpecification", text);
}

QStringList texts(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

// Every path below root (directories end in "/"), sorted.
QStringList listTree(const QString& root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        out << it.filePath().mid(root.size() + 1) + (it.fileInfo().isDir() ? QStringLiteral("/") : QString());
    }
    out.sort();
    return out;
}

FTPSiteAccessData mirrorRecord(const QString& name, const QString& url, int slotCount)
{
    FTPSiteAccessData mirror;
    mirror.name = name;
    mirror.url = url;
    mirror.retries = 5;
    mirror.maxUseCount = slotCount;
    return mirror;
}

} // namespace

// The download stage: directories in the temporary directory, concurrent
// file tasks, the MD5 check after each download and the transfer figures.
class TestDownloadFileList : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<HttpTestServer> server;
    std::unique_ptr<Mirrors> mirrors;
    std::unique_ptr<QNetworkAccessManager> network;
    Configuration configuration;
    QList<FileDownloadSpecification> files;
    ContextTranslator translator;

    // Serves every listed file correctly, from one mirror with slotCount slots.
    void serveAll(int slotCount = 3)
    {
        mirrors->initFromList({mirrorRecord(QStringLiteral("test"), server->baseUrl() + QStringLiteral("/7"), slotCount)});
        for (const FileDownloadSpecification& file : std::as_const(files))
            server->setRule(serverPath(file.fileName), HttpTestRule::ok(contentOf(file.fileName)));
    }

    std::unique_ptr<DownloadFileListTaskSpecification> makeStage()
    {
        return std::make_unique<DownloadFileListTaskSpecification>(&files, network.get(), mirrors.get(),
                                                                   &configuration, nullptr, 0.4);
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::installTranslator(&translator);
    }

    void init()
    {
        temp = std::make_unique<QTemporaryDir>();
        QVERIFY(temp->isValid());
        server = std::make_unique<HttpTestServer>();
        QVERIFY(server->isListening());
        mirrors = std::make_unique<Mirrors>();
        network = std::make_unique<QNetworkAccessManager>();
        network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        configuration.tempDir = temp->path();
        configuration.downloadConcurrency = 6;
        files.clear();
    }

    void cleanup()
    {
        QThreadPool::globalInstance()->waitForDone();
        network.reset();
        mirrors.reset();
        server.reset();
        temp.reset();
    }

    void emptyListFinishesAtOnce()
    {
        auto stage = makeStage();
        QSignalSpy finished(stage.get(), &TaskSpecification::finished);
        QSignalSpy messages(stage.get(), &TaskSpecification::message);
        stage->execute();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(stage->state, TaskSpecification::Finished);
        QCOMPARE(texts(messages), QStringList{listText(QStringLiteral("No downloads needed"))});
        QVERIFY(listTree(temp->path()).isEmpty());
    }

    // Files in subdirectories land there; every file is checked and equal
    // shares of progress add up to the stage's weight.
    void downloadsIntoSubdirectories()
    {
        for (const char* name : {"a.txt", "plugins/x.so", "plugins/y.so", "deep/a/b/z.so"})
            files << entry(QString::fromLatin1(name));
        serveAll();
        auto stage = makeStage();
        QSignalSpy finished(stage.get(), &TaskSpecification::finished);
        QSignalSpy messages(stage.get(), &TaskSpecification::message);
        QSignalSpy progress(stage.get(), &TaskSpecification::updateProgress);
        stage->execute();
        QVERIFY(finished.wait(10000));

        QCOMPARE(listTree(temp->path()),
                 (QStringList{QStringLiteral("a.txt"), QStringLiteral("deep/"), QStringLiteral("deep/a/"),
                              QStringLiteral("deep/a/b/"), QStringLiteral("deep/a/b/z.so"), QStringLiteral("plugins/"),
                              QStringLiteral("plugins/x.so"), QStringLiteral("plugins/y.so")}));
        for (const FileDownloadSpecification& file : std::as_const(files)) {
            QFile f(temp->filePath(file.fileName));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), contentOf(file.fileName));
        }
        QCOMPARE(texts(messages).first(), listText(QStringLiteral("Downloading files")));
        QCOMPARE(server->totalRequestCount(), 4);
        for (TaskSpecification* task : std::as_const(stage->subTasks))
            QCOMPARE(task->parentProgressRange, 0.25);
        QCOMPARE(progress.last().at(0).toReal(), 0.4);
    }

    // Directories are made once each, before any transfer.
    void makeSubDirsCreatesEachDirectoryOnce()
    {
        for (const char* name : {"a.txt", "plugins/x.so", "plugins/y.so"})
            files << entry(QString::fromLatin1(name));
        auto stage = makeStage();
        QVERIFY(stage->makeSubDirs());
        QCOMPARE(listTree(temp->path()), QStringList{QStringLiteral("plugins/")});
        // Made again over existing directories without complaint.
        QVERIFY(stage->makeSubDirs());
        QCOMPARE(server->totalRequestCount(), 0);
    }

    // A plain file where a directory is needed fails the stage before any
    // transfer, naming the canonical path.
    void blockedDirectoryFailsBeforeAnyTransfer()
    {
        QVERIFY(QDir().mkpath(temp->filePath(QStringLiteral("real"))));
        QFile blocker(temp->filePath(QStringLiteral("real/plugins")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        // The configured path is not canonical: it goes through a link.
        QVERIFY(QFile::link(temp->filePath(QStringLiteral("real")), temp->filePath(QStringLiteral("link"))));
        configuration.tempDir = temp->filePath(QStringLiteral("link"));

        files << entry(QStringLiteral("a.txt")) << entry(QStringLiteral("plugins/x.so"));
        serveAll();
        auto stage = makeStage();
        QSignalSpy canceled(stage.get(), &TaskSpecification::canceled);
        QSignalSpy messages(stage.get(), &TaskSpecification::message);
        QSignalSpy errors(stage.get(), &TaskSpecification::error);
        stage->execute();
        QCOMPARE(canceled.size(), 1);
        QCOMPARE(stage->state, TaskSpecification::ErrorCanceled);
        const QString canonical = QDir(temp->filePath(QStringLiteral("real"))).canonicalPath();
        QCOMPARE(texts(messages), QStringList{listText(QStringLiteral("could not make dir %1/plugins").arg(canonical))});
        QVERIFY(errors.isEmpty());
        QVERIFY(stage->subTasks.isEmpty());
        QTest::qWait(50);
        QCOMPARE(server->totalRequestCount(), 0);
    }

    // With a concurrency of 6, six of ten files start at once; the seventh
    // starts when the first has been downloaded and checked.
    void sixOfTenStartAtOnce()
    {
        for (int i = 0; i < 10; ++i)
            files << entry(QStringLiteral("f%1.bin").arg(i));
        mirrors->initFromList({mirrorRecord(QStringLiteral("test"), server->baseUrl() + QStringLiteral("/7"), 10)});
        for (const FileDownloadSpecification& file : std::as_const(files))
            server->setRule(serverPath(file.fileName), HttpTestRule::stallBeforeHeaders(contentOf(file.fileName)));

        auto stage = makeStage();
        QSignalSpy finished(stage.get(), &TaskSpecification::finished);
        QSignalSpy requests(server.get(), &HttpTestServer::requestReceived);
        stage->execute();
        QTRY_COMPARE(requests.size(), 6);
        QTest::qWait(100);
        QCOMPARE(requests.size(), 6);
        QCOMPARE(stage->runningTasks.size(), 6);
        QCOMPARE(stage->pendingTasks.size(), 4);

        // From now on every file is served at once; the first is let go.
        for (const FileDownloadSpecification& file : std::as_const(files))
            server->setRule(serverPath(file.fileName), HttpTestRule::ok(contentOf(file.fileName)));
        TaskSpecification* first = stage->subTasks.first();
        TaskSpecification::TaskState firstWhenSeventhAsked = TaskSpecification::Ready;
        connect(server.get(), &HttpTestServer::requestReceived, this, [&](const QString& path) {
            if (path == serverPath(QStringLiteral("f6.bin")))
                firstWhenSeventhAsked = first->state;
        });
        server->resumeStalled(serverPath(QStringLiteral("f0.bin")));
        QTRY_COMPARE(requests.size(), 7);
        QCOMPARE(firstWhenSeventhAsked, TaskSpecification::Finished);
        QCOMPARE(requests.last().at(0).toString(), serverPath(QStringLiteral("f6.bin")));

        server->resumeStalled();
        QVERIFY(finished.wait(10000));
        QCOMPARE(requests.size(), 10);
    }

    // A file that fails its MD5 check costs its mirror its place in the
    // pool and is fetched from another one.
    void badFileRetiresItsMirror_data()
    {
        QTest::addColumn<bool>("alwaysBad");
        QTest::newRow("bad on every mirror: the pool empties and the stage fails") << true;
        QTest::newRow("bad once: another mirror delivers") << false;
    }

    void badFileRetiresItsMirror()
    {
        QFETCH(bool, alwaysBad);
        const QString name = QStringLiteral("data/big.pak.gz");
        files << entry(name);
        if (alwaysBad) {
            // Three mirrors on three paths of the server, all serving bad
            // bytes of the right size.
            for (const char* m : {"m1", "m2", "m3"}) {
                const QString mirrorName = QString::fromLatin1(m);
                mirrors->initFromList({mirrorRecord(mirrorName, server->baseUrl() + QLatin1Char('/') + mirrorName
                                                                    + QStringLiteral("/7"), 3)});
                server->setRule(QLatin1Char('/') + mirrorName + serverPath(name), HttpTestRule::corrupted(contentOf(name)));
            }
        } else {
            // Two mirrors with the same base URL: whichever is drawn first
            // gets the bad answer, the other one the good one.
            for (const char* m : {"m1", "m2"}) {
                mirrors->initFromList({mirrorRecord(QString::fromLatin1(m), server->baseUrl() + QStringLiteral("/7"), 3)});
            }
            server->setRules(serverPath(name), {HttpTestRule::corrupted(contentOf(name)), HttpTestRule::ok(contentOf(name))});
        }

        auto stage = makeStage();
        QSignalSpy finished(stage.get(), &TaskSpecification::finished);
        QSignalSpy canceled(stage.get(), &TaskSpecification::canceled);
        QSignalSpy messages(stage.get(), &TaskSpecification::message);
        QSignalSpy poolMessages(mirrors.get(), &Mirrors::message);
        stage->execute();
        QVERIFY(alwaysBad ? canceled.wait(10000) : finished.wait(10000));

        const QString retry = ContextTranslator::tagged(
            "DownloadFileTaskSpecification", QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying").arg(name));
        const QString failedCheck = ContextTranslator::tagged(
            "CheckSignatureTaskSpecification", QStringLiteral("Signature check failed for %1").arg(temp->filePath(name)));
        if (alwaysBad) {
            QCOMPARE(stage->state, TaskSpecification::ErrorCanceled);
            QCOMPARE(int(texts(messages).count(retry)), 3);
            QCOMPARE(int(texts(messages).count(failedCheck)), 3);
            for (const char* m : {"m1", "m2", "m3"})
                QCOMPARE(server->requestCount(QLatin1Char('/') + QString::fromLatin1(m) + serverPath(name)), 1);
            QVERIFY(mirrors->getMirrorList().isEmpty());
            QCOMPARE(texts(poolMessages).last(), ContextTranslator::tagged("Mirrors", QStringLiteral("There are no (more) known working mirrors available")));
        } else {
            QCOMPARE(stage->state, TaskSpecification::Finished);
            QCOMPARE(int(texts(messages).count(retry)), 1);
            QCOMPARE(server->requestCount(serverPath(name)), 2);
            QCOMPARE(mirrors->getMirrorList().size(), 1);
            QFile f(temp->filePath(name));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), contentOf(name));
        }
    }

    // The total counts every listed byte from the first tick; bytes done
    // only those of started downloads.
    void downloadTotalIsTheSumOfAllSizes()
    {
        configuration.downloadConcurrency = 1;
        files << entry(QStringLiteral("a.bin")) << entry(QStringLiteral("bb.bin")) << entry(QStringLiteral("ccc.bin"));
        const quint64 total = files[0].size + files[1].size + files[2].size;
        mirrors->initFromList({mirrorRecord(QStringLiteral("test"), server->baseUrl() + QStringLiteral("/7"), 3)});
        server->setRule(serverPath(QStringLiteral("a.bin")), HttpTestRule::ok(contentOf(QStringLiteral("a.bin"))));
        for (const char* name : {"bb.bin", "ccc.bin"}) {
            const QString n = QString::fromLatin1(name);
            server->setRule(serverPath(n), HttpTestRule::stallAfterHeaders(contentOf(n)));
        }

        auto stage = makeStage();
        QSignalSpy finished(stage.get(), &TaskSpecification::finished);
        stage->execute();
        quint64 done = 0, totalSeen = 0, speed = 0;
        bool downloading = false;
        stage->timeTick(done, totalSeen, speed, downloading);
        QCOMPARE(totalSeen, total);
        QCOMPARE(done, quint64(0));

        // a.bin done, bb.bin started and stalled, ccc.bin not started yet.
        QTRY_COMPARE(server->requestCount(serverPath(QStringLiteral("bb.bin"))), 1);
        QTRY_COMPARE(stage->subTasks.first()->state, TaskSpecification::Finished);
        QTRY_VERIFY(server->stalledCount() == 1);
        done = totalSeen = speed = 0;
        downloading = false;
        stage->timeTick(done, totalSeen, speed, downloading);
        QCOMPARE(totalSeen, total);
        QCOMPARE(done, files[0].size);
        QVERIFY(downloading);

        server->setRule(serverPath(QStringLiteral("ccc.bin")), HttpTestRule::ok(contentOf(QStringLiteral("ccc.bin"))));
        server->resumeStalled();
        QVERIFY(finished.wait(10000));
        done = totalSeen = speed = 0;
        stage->timeTick(done, totalSeen, speed, downloading);
        QCOMPARE(totalSeen, total);
        QCOMPARE(done, total);
    }

    // A cancel that arrives while a failing check runs ends the file task
    // instead of fetching the file again.
    void cancelDuringFailingCheckEndsTheFile()
    {
        const QString name = QStringLiteral("a.bin");
        files << entry(name);
        mirrors->initFromList({mirrorRecord(QStringLiteral("test"), server->baseUrl() + QStringLiteral("/7"), 3)});
        server->setRule(serverPath(name), HttpTestRule::corrupted(contentOf(name)));

        // Hold every thread of the pool so that the check cannot run yet.
        PoolGate gate;

        auto stage = makeStage();
        QSignalSpy canceled(stage.get(), &TaskSpecification::canceled);
        QSignalSpy finished(stage.get(), &TaskSpecification::finished);
        stage->execute();
        auto* fileTask = qobject_cast<DownloadFileTaskSpecification*>(stage->subTasks.first());
        QVERIFY(fileTask);
        QTRY_VERIFY(fileTask->subTasks.size() == 2 && fileTask->subTasks.last()->state == TaskSpecification::Running);
        stage->userCanceled();
        gate.open();

        QVERIFY(canceled.wait(10000));
        QCoreApplication::processEvents();
        QCOMPARE(stage->state, TaskSpecification::UserCanceled);
        QCOMPARE(fileTask->state, TaskSpecification::UserCanceled);
        QCOMPARE(finished.size(), 0);
        QCOMPARE(server->requestCount(serverPath(name)), 1);
        QCOMPARE(mirrors->getMirrorList().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDownloadFileList)
#include "tst_downloadfilelist.moc"
