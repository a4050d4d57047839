#include "app/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/mirrors.h"
#include "manifest/inidownloadtaskspecification.h"
#include "manifest/makedownloadreplacelisttaskspecification.h"
#include "manifest/tomcryptutil.h"

#include "nginxserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString tool = QStringLiteral(KR3_PUBLISH_PATH);
const QString devPrivateKey = QStringLiteral(KR3_KEYS_DIR "/dev-private.key");

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Runs one stage to its end; true when it finished.
bool runStage(TaskSpecification& stage)
{
    QSignalSpy finished(&stage, &TaskSpecification::finished);
    QSignalSpy canceled(&stage, &TaskSpecification::canceled);
    stage.execute();
    if (finished.isEmpty() && canceled.isEmpty())
        finished.wait(30000);
    return stage.state == TaskSpecification::Finished;
}

} // namespace

// A release published by kr3-publish and served by nginx goes through the
// updater's first three stages: manifest, work lists, downloads.
class TestPublishDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        crypt_init();
    }

    void publishedReleaseDownloads()
    {
        KR3_SKIP_WITHOUT_NGINX();
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString release = dir.filePath(QStringLiteral("release"));
        const QString installation = dir.filePath(QStringLiteral("installation"));
        const QString mirrorRoot = dir.filePath(QStringLiteral("mirror"));
        const QString temp = dir.filePath(QStringLiteral("temp"));
        QVERIFY(QDir().mkpath(installation));
        QVERIFY(QDir().mkpath(temp));

        // Names that must survive the manifest, the URL and the web server.
        const QStringList names{
            QStringLiteral("kr3client_runscript.sh"), QStringLiteral("plugins/libx.so"),
            QStringLiteral("data/maps/big.pak"), QStringLiteral("docs/read me \u00e9t\u00e9.txt"),
            QStringLiteral("docs/ odd\\name, with::colons;+&=.txt"), QStringLiteral("\u65e5\u672c/\u30d5\u30a1\u30a4\u30eb")};
        for (const QString& name : names)
            QVERIFY(writeFile(release + QLatin1Char('/') + name, ("content of " + name).toUtf8().repeated(50)));
        // Already installed and current: not downloaded.
        QVERIFY(writeFile(installation + QStringLiteral("/plugins/libx.so"),
                          QStringLiteral("content of plugins/libx.so").toUtf8().repeated(50)));
        QVERIFY(writeFile(installation + QStringLiteral("/old.txt"), "obsolete"));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("previous/old.txt")), "obsolete"));

        QProcess publish;
        publish.start(tool, {QStringLiteral("release"), QStringLiteral("--type"), QStringLiteral("client_linux_x86"),
                             QStringLiteral("--version"), QStringLiteral("7"), QStringLiteral("--key"), devPrivateKey,
                             QStringLiteral("--gzip"), QStringLiteral("*.pak"), QStringLiteral("--previous"),
                             dir.filePath(QStringLiteral("previous")), release, mirrorRoot});
        QVERIFY(publish.waitForFinished(60000));
        QVERIFY2(publish.exitCode() == 0, publish.readAllStandardError().constData());

        NginxServer nginx(mirrorRoot);
        QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));
        const QString mirrorsIni = dir.filePath(QStringLiteral("mirrors.ini"));
        {
            QSettings ini(mirrorsIni, QSettings::IniFormat);
            ini.beginWriteArray(QStringLiteral("mirrors"));
            ini.setArrayIndex(0);
            ini.setValue(QStringLiteral("mirror"), QStringLiteral("local"));
            ini.endArray();
            ini.setValue(QStringLiteral("local/url"), nginx.baseUrl());
        }
        Mirrors mirrors;
        QVERIFY(mirrors.initDefault(mirrorsIni, 7));
        QNetworkAccessManager network;
        network.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        Configuration configuration;
        configuration.tempDir = temp;
        configuration.updateType = QStringLiteral("client_linux_x86");
        Configuration::setAppRootPath(installation);

        IniDownloadTaskSpecification manifest(&network, &mirrors, &configuration, nullptr, 0.1);
        QVERIFY(runStage(manifest));
        FileSpecifications lists;
        MakeDownloadReplaceListTaskSpecification workLists(&configuration, lists, nullptr, 0.05);
        QVERIFY(runStage(workLists));
        Configuration::setAppRootPath(QString());
        QCOMPARE(lists.downloadList.size(), names.size() - 1);
        QCOMPARE(lists.replaceList.size(), names.size() - 1);
        QCOMPARE(lists.deleteList, QStringList{QStringLiteral("old.txt")});
        DownloadFileListTaskSpecification downloads(&lists.downloadList, &network, &mirrors, &configuration, nullptr, 0.4);
        QVERIFY(runStage(downloads));

        for (const FileDownloadSpecification& file : std::as_const(lists.downloadList)) {
            QCOMPARE(readAll(temp + QLatin1Char('/') + file.fileName),
                     readAll(mirrorRoot + QStringLiteral("/7/files/") + file.fileName));
        }
        QVERIFY(QFile::exists(temp + QStringLiteral("/data/maps/big.pak.gz")));
        QCOMPARE(mirrors.getMirrorList().size(), 1);
        // The manifest, its signature and each listed file, once each.
        QCOMPARE(nginx.accessLogLines().size(), 2 + lists.downloadList.size());
    }
};

QTEST_GUILESS_MAIN(TestPublishDownload)
#include "tst_publishdownload.moc"
