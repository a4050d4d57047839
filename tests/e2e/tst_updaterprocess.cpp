#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "app/singleinstancechecker.h"

#include "filefixtures.h"
#include "nginxserver.h"
#include "releasefixtures.h"

namespace {

const QString updater = QStringLiteral(KR3_UPDATE_PATH);
const QString tool = QStringLiteral(KR3_PUBLISH_PATH);
const QString devPrivateKey = QStringLiteral(KR3_KEYS_DIR "/dev-private.key");

// Files that an installation has besides the release it holds.
const QStringList ownFiles{QStringLiteral("update.ini"), QStringLiteral("mirrors.ini"), QStringLiteral("_old_update")};

// An updater process of an installation, its stderr collected as it comes.
class UpdaterProcess
{
public:
    UpdaterProcess(const QString& installation, const QString& tempDir, const QStringList& arguments,
                   bool debugLog = false)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"), tempDir);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.remove(QStringLiteral("LC_ALL"));
        environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        if (debugLog)
            environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("kr3.update.debug=true"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(installation);
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { log += QString::fromUtf8(process.readAllStandardError()); });
        process.start(installation + QStringLiteral("/update"), arguments);
        clock.start();
    }

    // Ends it (it would wait for the user) and waits until it is gone.
    ~UpdaterProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000)) {
                process.kill();
                process.waitForFinished(5000);
            }
        }
    }

    QProcess process;
    QString log;
    QElapsedTimer clock;
};

} // namespace

// The updater as the user starts it: a real process in an installation,
// updating from a release published by kr3-publish and served by nginx.
class TestUpdaterProcess : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir workDir;
    QString release1;
    QString release2;
    std::unique_ptr<NginxServer> nginx;

    // A fresh installation of release 1 whose update.ini selects the alpha
    // channel with the local mirror and version 2: neither needs the
    // update server.
    QString makeInstallation(const QString& name)
    {
        const QString installation = workDir.filePath(name);
        if (!ReleaseFixtures::copyTree(release1, installation)
            || !ReleaseFixtures::writeMirrorsIni(installation + QStringLiteral("/mirrors.ini"),
                                                 {{QStringLiteral("local"), nginx->baseUrl()}})
            || !ReleaseFixtures::writeAlphaUpdateIni(installation + QStringLiteral("/update.ini"), nginx->baseUrl(), 2))
            return QString();
        return installation;
    }

    QString makeTempDir(const QString& name)
    {
        const QString dir = workDir.filePath(name);
        return QDir().mkpath(dir) ? dir : QString();
    }

private slots:
    void initTestCase()
    {
        KR3_SKIP_WITHOUT_NGINX();
        QVERIFY(workDir.isValid());
        const QByteArray updaterBytes = FileFixtures::readFile(updater);
        QVERIFY(!updaterBytes.isEmpty());

        // Release 2 brings a new updater, changes a library and a compressed
        // data file, adds a file in a new directory and drops one.
        release1 = workDir.filePath(QStringLiteral("release1"));
        release2 = workDir.filePath(QStringLiteral("release2"));
        const QByteArray script = "#!/bin/sh\necho \"Kestrune 3 client\"\n";
        QVERIFY(ReleaseFixtures::writeTree(release1, {
            {QStringLiteral("update"), updaterBytes},
            {QStringLiteral("kr3client_runscript.sh"), script},
            {QStringLiteral("lib/libkr3engine.so"), FileFixtures::sampleData(150000, 1)},
            {QStringLiteral("data/world.pak"), FileFixtures::sampleData(400000, 2)},
            {QStringLiteral("data/old.txt"), "only in release 1\n"},
        }));
        QVERIFY(ReleaseFixtures::writeTree(release2, {
            {QStringLiteral("update"), updaterBytes + "\nrelease 2\n"},
            {QStringLiteral("kr3client_runscript.sh"), script},
            {QStringLiteral("lib/libkr3engine.so"), FileFixtures::sampleData(160000, 3)},
            {QStringLiteral("data/world.pak"), FileFixtures::sampleData(420000, 4)},
            {QStringLiteral("data/maps/north.txt"), "new in release 2\n"},
        }));
        QVERIFY(QFile::setPermissions(release1 + QStringLiteral("/update"),
                                      QFile::permissions(updater)));
        const QString mirrorRoot = workDir.filePath(QStringLiteral("mirror"));
        ReleaseFixtures::PublishOptions options;
        options.gzipPatterns = {QStringLiteral("*.pak")};
        QString failure;
        QVERIFY2(ReleaseFixtures::publish(tool, devPrivateKey, options, release1, mirrorRoot, &failure),
                 qPrintable(failure));
        options.version = 2;
        options.previousRelease = release1;
        QVERIFY2(ReleaseFixtures::publish(tool, devPrivateKey, options, release2, mirrorRoot, &failure),
                 qPrintable(failure));

        nginx = std::make_unique<NginxServer>(mirrorRoot);
        QVERIFY2(nginx->start(), qPrintable(nginx->errorString()));
    }

    void cleanupTestCase() { nginx.reset(); }

    // "--nouser": the update starts by itself about two seconds after the
    // window came up and brings the installation to release 2, the running
    // updater included (its old file stays as a backup until the next start).
    void noUserUpdatesInstallation()
    {
        const QString installation = makeInstallation(QStringLiteral("nouser"));
        QVERIFY(!installation.isEmpty());
        const QString temp = makeTempDir(QStringLiteral("nouser-tmp"));
        QVERIFY(!temp.isEmpty());

        UpdaterProcess run(installation, temp, {QStringLiteral("--nouser")});
        QVERIFY2(run.process.waitForStarted(10000), qPrintable(run.process.errorString()));
        QTRY_VERIFY2_WITH_TIMEOUT(run.log.contains(QLatin1String("Starting update process")), qPrintable(run.log),
                                  20000);
        const qint64 startedAfter = run.clock.elapsed();
        QVERIFY2(startedAfter >= 1900, qPrintable(QString::number(startedAfter)));
        QTRY_VERIFY2_WITH_TIMEOUT(run.log.contains(QLatin1String("Update successfully finished")),
                                  qPrintable(run.log), 60000);
        // It waits for the user to start the client.
        QTest::qWait(200);
        QCOMPARE(run.process.state(), QProcess::Running);

        QCOMPARE(ReleaseFixtures::contentDifference(installation, release2, ownFiles), QString());
        QCOMPARE(FileFixtures::readFile(installation + QStringLiteral("/_old_update")),
                 FileFixtures::readFile(release1 + QStringLiteral("/update")));
        QVERIFY(QFileInfo(installation + QStringLiteral("/update")).isExecutable());
        // The run's record and temporary files are gone.
        QSettings ini(installation + QStringLiteral("/update.ini"), QSettings::IniFormat);
        QVERIFY(!ini.childGroups().contains(QStringLiteral("current")));
        QCOMPARE(QDir(temp).entryList({QStringLiteral("kestrune_temp_*")}, QDir::AllEntries), QStringList());
        QCOMPARE(nginx->requestCount(QStringLiteral("/2/client_linux_x86.ini")), 1);
    }

    // A second start of the same updater removes the backups, hands the
    // running one "#" and ends with 0.
    void secondStartEndsWithZero()
    {
        const QString installation = makeInstallation(QStringLiteral("twice"));
        QVERIFY(!installation.isEmpty());
        const QString temp = makeTempDir(QStringLiteral("twice-tmp"));
        QVERIFY(!temp.isEmpty());
        const QStringList arguments{QStringLiteral("client_linux_x86"), QStringLiteral("2")};

        UpdaterProcess first(installation, temp, arguments, true);
        QVERIFY2(first.process.waitForStarted(10000), qPrintable(first.process.errorString()));
        const QString socket = temp + QLatin1Char('/') + SingleInstanceChecker::getLocalServerName(
            QFileInfo(installation + QStringLiteral("/update")).canonicalFilePath(), QDir::homePath());
        QTRY_VERIFY2_WITH_TIMEOUT(QFile::exists(socket), qPrintable(first.log), 20000);

        const QStringList backups{QStringLiteral("_old_update"), QStringLiteral("imageformats/_old_libqgif.so"),
                                  QStringLiteral("accessible/_old_libqtaccessiblewidgets.so")};
        for (const QString& backup : backups)
            QVERIFY(FileFixtures::writeFile(installation + QLatin1Char('/') + backup, "backup"));
        QVERIFY(FileFixtures::writeFile(installation + QStringLiteral("/data/_old_world.pak"), "not ours"));

        UpdaterProcess second(installation, temp, arguments);
        QVERIFY(second.process.waitForFinished(10000));
        QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process.exitCode(), 0);
        QTRY_VERIFY2_WITH_TIMEOUT(first.log.contains(QLatin1String("Another start of the updater")),
                                  qPrintable(first.log), 5000);
        QCOMPARE(first.process.state(), QProcess::Running);

        for (const QString& backup : backups)
            QVERIFY2(!QFile::exists(installation + QLatin1Char('/') + backup), qPrintable(backup));
        QVERIFY(QFile::exists(installation + QStringLiteral("/data/_old_world.pak")));
    }
};

QTEST_GUILESS_MAIN(TestUpdaterProcess)
#include "tst_updaterprocess.moc"
