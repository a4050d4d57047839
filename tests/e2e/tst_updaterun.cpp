#include "app/configuration.h"
#include "app/updateengine.h"
#include "app/updateinidata.h"

#include "filefixtures.h"
#include "nginxserver.h"
#include "releasefixtures.h"
#include "treesnapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

using FileFixtures::readFile;
using FileFixtures::writeFile;

namespace {

const QString publishTool = QStringLiteral(KR3_PUBLISH_PATH);
const QString privateKey = QStringLiteral(KR3_KEYS_DIR "/dev-private.key");
const QString largeFile = QStringLiteral("media/large.bin");

// What an update run reports.
struct RunProbe
{
    explicit RunProbe(UpdateEngine* engine)
        : finished(engine, &UpdateEngine::updateFinished)
        , canceled(engine, &UpdateEngine::updateCanceled)
        , messages(engine, &UpdateEngine::message)
    {
    }

    bool ended() const { return finished.size() + canceled.size() > 0; }

    // Runs the event loop until the run ends (at most timeoutMs).
    bool waitForEnd(UpdateEngine* engine, int timeoutMs = 30000)
    {
        if (ended())
            return true;
        QEventLoop loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        QObject::connect(engine, &UpdateEngine::updateFinished, &loop, &QEventLoop::quit);
        QObject::connect(engine, &UpdateEngine::updateCanceled, &loop, &QEventLoop::quit);
        loop.exec();
        return ended();
    }

    QStringList texts() const
    {
        QStringList out;
        for (const QList<QVariant>& call : messages)
            out << call.at(0).toString();
        return out;
    }

    QSignalSpy finished;
    QSignalSpy canceled;
    QSignalSpy messages;
};

// The files the installation holds besides the release.
const QStringList localFiles{QStringLiteral("mirrors.ini"), QStringLiteral("update.ini")};

} // namespace

// Whole updates of an installation, against real web servers serving
// releases made by the publisher's tool.
class TestUpdateRun : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir* published = nullptr;
    QString release1, release2, release3;
    QString mirrorRoot;
    QByteArray originalTmpDir;

    QTemporaryDir* sandbox = nullptr;
    Configuration* configuration = nullptr;
    UpdateEngine* engine = nullptr;

    QString installDir() const { return sandbox->filePath(QStringLiteral("install")); }
    QString tempBase() const { return sandbox->filePath(QStringLiteral("tmp")); }

    // An installation of release 1 that updates from the given mirrors.
    void prepareInstallation(const QList<QPair<QString, QString>>& mirrors, int version)
    {
        QVERIFY(ReleaseFixtures::copyTree(release1, installDir()));
        QVERIFY(ReleaseFixtures::writeMirrorsIni(installDir() + QStringLiteral("/mirrors.ini"), mirrors));
        QVERIFY(writeFile(UpdateIniData::filename(), "[Channel]\nbeta=1\n[update]\nstreams=6\n"));
        configuration->clientVersion = version;
        engine = new UpdateEngine(*configuration);
    }

    void checkInstalled(const QString& release)
    {
        const TreeSnapshot installed = TreeSnapshot::take(installDir());
        QCOMPARE(TreeSnapshot::difference(TreeSnapshot::take(release),
                                          installed.without(localFiles + QStringList{"_old_update"})),
                 QString());
        // The updater's own executable was in use: its backup stays until
        // the next start.
        QCOMPARE(readFile(installDir() + QStringLiteral("/_old_update")), readFile(release1 + QStringLiteral("/update")));
        const QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
        QCOMPARE(settings.childGroups(), QStringList({QStringLiteral("Channel"), QStringLiteral("update")}));
        QCOMPARE(QDir(tempBase()).entryList({QStringLiteral("kestrune_temp_*")}, QDir::AllEntries), QStringList());
    }

    static QStringList storedFiles(const QString& versionDir)
    {
        QStringList out;
        const QDir files(versionDir + QStringLiteral("/files"));
        QDirIterator it(files.path(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            out << files.relativeFilePath(it.next());
        out.sort();
        return out;
    }

private slots:
    void initTestCase()
    {
        KR3_SKIP_WITHOUT_NGINX();
        ::umask(022);
        originalTmpDir = qgetenv("TMPDIR");
        published = new QTemporaryDir;
        QVERIFY(published->isValid());
        release1 = published->filePath(QStringLiteral("release1"));
        release2 = published->filePath(QStringLiteral("release2"));
        release3 = published->filePath(QStringLiteral("release3"));
        mirrorRoot = published->filePath(QStringLiteral("mirror"));

        struct File
        {
            QString name;
            QByteArray v1; // null: not in release 1
            QByteArray v2; // null: not in release 2
            int mode;
        };
        const QList<File> files{
            {"update", "updater 1\n", "updater 2\n", 0755},
            {"kr3client_runscript.sh", "#!/bin/sh\nexec ./client\n", "#!/bin/sh\nexec ./client\n", 0755},
            {"readme.txt", FileFixtures::sampleData(5000, 1), FileFixtures::sampleData(5000, 1), 0644},
            {"obsolete.txt", "no longer shipped\n", QByteArray(), 0644},
            {"data/changed.dat", FileFixtures::sampleData(30000, 2), FileFixtures::sampleData(30000, 3), 0644},
            {"data/maps/level.pak", FileFixtures::sampleData(90000, 4), FileFixtures::sampleData(95000, 5), 0644},
            {"data/maps/new.pak", QByteArray(), FileFixtures::sampleData(40000, 6), 0644},
            {"docs/keep.txt", "unchanged\n", "unchanged\n", 0644},
            {"docs/new/guide.txt", QByteArray(), "a new directory\n", 0644},
            {"plugins/libold.so", "old plugin\n", QByteArray(), 0755},
            {"plugins/libnew.so", QByteArray(), "new plugin\n", 0755},
        };
        for (const File& file : files) {
            if (!file.v1.isNull())
                QVERIFY(writeFile(release1 + QLatin1Char('/') + file.name, file.v1, file.mode));
            if (!file.v2.isNull())
                QVERIFY(writeFile(release2 + QLatin1Char('/') + file.name, file.v2, file.mode));
        }
        // Release 3 is release 2 with one large file more.
        QVERIFY(ReleaseFixtures::copyTree(release2, release3));
        QVERIFY(writeFile(release3 + QLatin1Char('/') + largeFile, FileFixtures::sampleData(1500000, 7), 0644));

        for (int version : {2, 3}) {
            ReleaseFixtures::PublishOptions options;
            options.version = version;
            options.gzipPatterns = {QStringLiteral("*.pak")};
            options.previousRelease = release1;
            QString complaint;
            QVERIFY2(ReleaseFixtures::publish(publishTool, privateKey, options, version == 2 ? release2 : release3,
                                              mirrorRoot, &complaint),
                     qPrintable(complaint));
        }
    }

    void cleanupTestCase()
    {
        delete published;
    }

    void init()
    {
        sandbox = new QTemporaryDir;
        QVERIFY(sandbox->isValid());
        QVERIFY(QDir().mkpath(installDir()));
        QVERIFY(QDir().mkpath(tempBase()));
        qputenv("TMPDIR", QFile::encodeName(tempBase()));
        Configuration::setAppRootPath(installDir());
        configuration = new Configuration;
        configuration->updateType = QStringLiteral("client_linux_x86");
    }

    void cleanup()
    {
        delete engine;
        engine = nullptr;
        delete configuration;
        configuration = nullptr;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        Configuration::setAppRootPath(QString());
        if (originalTmpDir.isNull())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", originalTmpDir);
        delete sandbox;
        sandbox = nullptr;
    }

    // Release 1 installed, release 2 published: new, changed, unchanged,
    // compressed, nested and obsolete files and a new updater executable.
    void updateToNextRelease()
    {
        NginxServer nginx(mirrorRoot);
        QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
        prepareInstallation({{QStringLiteral("main"), nginx.baseUrl()}}, 2);
        RunProbe probe(engine);

        QVERIFY(engine->initialize());
        const QString tempDir = configuration->tempDir;
        QVERIFY(engine->startUpdate());
        QVERIFY(probe.waitForEnd(engine));
        QCOMPARE(probe.canceled.size(), 0);
        QCOMPARE(probe.texts().last(), QStringLiteral("Update successfully finished"));

        checkInstalled(release2);
        QVERIFY(!QFileInfo::exists(tempDir));
        // Only what changed was fetched, each file once: the manifest, its
        // signature, and update, changed.dat, level.pak.gz, new.pak.gz,
        // guide.txt, libnew.so.
        QCOMPARE(nginx.accessLogLines().size(), 8);
        QCOMPARE(nginx.requestCount(QStringLiteral("/2/files/readme.txt")), 0);
    }

    // A run canceled while a large file is still coming in; the next start
    // resumes it and fetches nothing but that file.
    void cancelAndResume()
    {
        NginxServer slow(mirrorRoot);
        slow.setRateLimit(QStringLiteral("/3/files/") + largeFile, 50000);
        QVERIFY2(slow.start(), qPrintable(slow.errorString()));
        prepareInstallation({{QStringLiteral("main"), slow.baseUrl()}}, 3);
        const TreeSnapshot before = TreeSnapshot::take(installDir()).without(localFiles);
        RunProbe probe(engine);

        QVERIFY(engine->initialize());
        const QString tempDir = configuration->tempDir;
        QVERIFY(engine->startUpdate());

        // Every other file complete in the temporary directory, the large
        // one begun.
        const QString versionDir = mirrorRoot + QStringLiteral("/3");
        QStringList others = storedFiles(versionDir);
        others.removeOne(largeFile);
        others.removeOne(QStringLiteral("readme.txt"));
        others.removeOne(QStringLiteral("docs/keep.txt"));
        others.removeOne(QStringLiteral("kr3client_runscript.sh"));
        QCOMPARE(others.size(), 6);
        const auto othersComplete = [&] {
            for (const QString& name : std::as_const(others)) {
                if (readFile(tempDir + QLatin1Char('/') + name) != readFile(versionDir + QStringLiteral("/files/") + name))
                    return false;
            }
            return QFileInfo(tempDir + QLatin1Char('/') + largeFile).size() > 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(othersComplete(), 20000);
        QCOMPARE(probe.finished.size() + probe.canceled.size(), 0);

        engine->cancelUpdate();
        QVERIFY(probe.waitForEnd(engine));
        QCOMPARE(probe.canceled.size(), 1);
        QVERIFY(probe.texts().contains(QStringLiteral("User aborted update")));
        QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(installDir()).without(localFiles)), QString());
        const qint64 partial = QFileInfo(tempDir + QLatin1Char('/') + largeFile).size();
        QVERIFY(partial < QFileInfo(versionDir + QStringLiteral("/files/") + largeFile).size());
        for (const QString& name : std::as_const(others))
            QCOMPARE(slow.requestCount(QStringLiteral("/3/files/") + name), 1);
        slow.stop();

        // The next start, against a server without the limit.
        NginxServer fast(mirrorRoot);
        QVERIFY2(fast.start(), qPrintable(fast.errorString()));
        QVERIFY(ReleaseFixtures::writeMirrorsIni(installDir() + QStringLiteral("/mirrors.ini"),
                                                 {{QStringLiteral("main"), fast.baseUrl()}}));
        engine->reset();
        probe.messages.clear();
        probe.canceled.clear();
        QVERIFY(engine->initialize());
        QCOMPARE(probe.texts(), QStringList{QStringLiteral("Previous update session for v. 3 found")});
        QCOMPARE(configuration->tempDir, tempDir);
        QVERIFY(engine->startUpdate());
        QVERIFY(probe.waitForEnd(engine));
        QCOMPARE(probe.finished.size(), 1);

        checkInstalled(release3);
        QVERIFY(!QFileInfo::exists(tempDir));
        // The manifest and its signature were verified where they lay; of
        // the files only the incomplete one was fetched again.
        QVERIFY(fast.waitForRequestCount(QStringLiteral("/3/files/") + largeFile, 1));
        QCOMPARE(fast.accessLogLines().size(), 1);
    }

    // One mirror serves damaged files: it is retired at the first one, and
    // the other mirror completes the update.
    void corruptMirrorRetired()
    {
        const QString badRoot = sandbox->filePath(QStringLiteral("bad"));
        QVERIFY(ReleaseFixtures::copyTree(mirrorRoot + QStringLiteral("/2"), badRoot + QStringLiteral("/2")));
        for (const QString& name : storedFiles(badRoot + QStringLiteral("/2"))) {
            const QString path = badRoot + QStringLiteral("/2/files/") + name;
            QByteArray content = readFile(path);
            content[0] = char(~content.at(0));
            QVERIFY(writeFile(path, content));
        }
        NginxServer good(mirrorRoot);
        NginxServer bad(badRoot);
        QVERIFY2(good.start(), qPrintable(good.errorString()));
        QVERIFY2(bad.start(), qPrintable(bad.errorString()));
        // Six files to fetch at once and three transfers per mirror: the
        // damaged mirror gets some of them whatever the draw.
        prepareInstallation({{QStringLiteral("good"), good.baseUrl()}, {QStringLiteral("bad"), bad.baseUrl()}}, 2);
        RunProbe probe(engine);

        QVERIFY(engine->initialize());
        QVERIFY(engine->startUpdate());
        QVERIFY(probe.waitForEnd(engine));
        QCOMPARE(probe.canceled.size(), 0);
        checkInstalled(release2);

        const QStringList log = bad.accessLogLines();
        QVERIFY2(log.filter(QStringLiteral(" /2/files/")).size() >= 3, qPrintable(log.join(QLatin1Char('\n'))));
        const QStringList retired = probe.texts().filter(QStringLiteral("invalidating mirror and retrying"));
        QVERIFY2(!retired.isEmpty(), qPrintable(probe.texts().join(QLatin1Char('\n'))));
    }

    // A manifest whose signature does not verify is never used: the run
    // gives up and the installation is as it was.
    void badSignatureChangesNothing()
    {
        const QString badRoot = sandbox->filePath(QStringLiteral("tampered"));
        QVERIFY(ReleaseFixtures::copyTree(mirrorRoot + QStringLiteral("/2"), badRoot + QStringLiteral("/2")));
        const QString manifest = badRoot + QStringLiteral("/2/client_linux_x86.ini");
        // One more obsolete file: a signed manifest would delete it.
        QVERIFY(writeFile(manifest, readFile(manifest) + "\n[delete]\nreadme.txt=1\n"));
        NginxServer nginx(badRoot);
        QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
        prepareInstallation({{QStringLiteral("main"), nginx.baseUrl()}}, 2);
        const TreeSnapshot before = TreeSnapshot::take(installDir()).without(localFiles);
        RunProbe probe(engine);

        // A thousand retries say the same: keep them out of the test's output.
        QLoggingCategory::setFilterRules(QStringLiteral("kr3.update.info=false"));
        const auto restoreLog = qScopeGuard([] { QLoggingCategory::setFilterRules(QString()); });

        QVERIFY(engine->initialize());
        QVERIFY(engine->startUpdate());
        QVERIFY(probe.waitForEnd(engine, 60000));
        QCOMPARE(probe.canceled.size(), 1);
        QCOMPARE(probe.texts().filter(QStringLiteral("Could not verify the product ini file. Retrying")).size(), 1000);
        QCOMPARE(probe.texts().last(), QStringLiteral("Could not verify the product ini file. Aborting"));
        QVERIFY(nginx.waitForRequestCount(QStringLiteral("/2/client_linux_x86.ini"), 1001));
        QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(installDir()).without(localFiles)), QString());
        QCOMPARE(nginx.requestCount(QStringLiteral("/2/files/data/changed.dat")), 0);
    }
};

QTEST_GUILESS_MAIN(TestUpdateRun)
#include "tst_updaterun.moc"
