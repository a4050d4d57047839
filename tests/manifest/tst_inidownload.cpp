#include "app/configuration.h"
#include "download/mirrors.h"
#include "manifest/checksignaturetaskspecification.h"
#include "manifest/inidownloadtaskspecification.h"
#include "manifest/tomcryptutil.h"

#include "contexttranslator.h"
#include "httptestserver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "poolgate.h"
#include <QThreadPool>

#include <memory>

namespace {

const QByteArray ManifestContent("[files]\nkr3client_runscript.sh=00112233445566778899aabbccddeeff::10\n");

QByteArray signatureOf(const QByteArray& content)
{
    Rsa_key key{};
    load_key(&key, QFile::encodeName(QStringLiteral(KR3_KEYS_DIR "/dev-private.key")).constData());
    unsigned char sig[512];
    unsigned long sigLen = sizeof sig;
    sign_msg(&key, reinterpret_cast<const unsigned char*>(content.constData()),
             static_cast<unsigned long>(content.size()), sig, &sigLen);
    free_key(&key);
    return QByteArray(reinterpret_cast<const char*>(sig), int(sigLen));
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QString stageText(const QString& text)
{
    return ContextTranslator::tagged("IniDownloadTaskSpecification", text);
}

QString checkText(const QString& text)
{
    return ContextTranslator::tagged("CheckSignatureTaskSpecification", text);
}

QStringList texts(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

CheckSignatureTaskSpecification* checkOf(const ComposedTaskSpecification& task)
{
    for (TaskSpecification* sub : task.subTasks) {
        if (auto* check = qobject_cast<CheckSignatureTaskSpecification*>(sub))
            return check;
    }
    return nullptr;
}

} // namespace

// The manifest stage against a test mirror, with manifests signed by the
// development key that the test build embeds.
class TestIniDownload : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<HttpTestServer> server;
    std::unique_ptr<Mirrors> mirrors;
    std::unique_ptr<QNetworkAccessManager> network;
    Configuration configuration;
    QByteArray signature;
    QByteArray otherSignature; // well-formed, of other content
    ContextTranslator translator;

    QString tempFile(const QString& name) const { return temp->filePath(name); }

    void serve(const QString& type, const QByteArray& sig)
    {
        server->setRule(QStringLiteral("/7/%1.ini").arg(type), HttpTestRule::ok(ManifestContent));
        server->setRule(QStringLiteral("/7/%1.ini.sig").arg(type), HttpTestRule::ok(sig));
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::installTranslator(&translator);
        crypt_init();
        signature = signatureOf(ManifestContent);
        otherSignature = signatureOf("other content");
    }

    void init()
    {
        temp = std::make_unique<QTemporaryDir>();
        QVERIFY(temp->isValid());
        server = std::make_unique<HttpTestServer>();
        QVERIFY(server->isListening());
        mirrors = std::make_unique<Mirrors>();
        FTPSiteAccessData mirror;
        mirror.name = QStringLiteral("test");
        mirror.url = server->baseUrl() + QStringLiteral("/7");
        mirror.retries = 5;
        mirror.maxUseCount = 3;
        mirrors->initFromList({mirror});
        network = std::make_unique<QNetworkAccessManager>();
        network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        configuration.tempDir = temp->path();
        configuration.updateType = QStringLiteral("client_linux_x86");
        serve(configuration.updateType, signature);
    }

    void cleanup()
    {
        QThreadPool::globalInstance()->waitForDone();
        network.reset();
        mirrors.reset();
        server.reset();
        temp.reset();
    }

    // Local files of an earlier attempt are checked before anything is
    // downloaded; what is missing is fetched; a failed check fetches both.
    void reuseAndDownloads_data()
    {
        QTest::addColumn<QByteArray>("localManifest"); // null: absent
        QTest::addColumn<QByteArray>("localSignature");
        QTest::addColumn<double>("checkWeight");
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<int>("retries");

        const QString ini = QStringLiteral("/7/client_linux_x86.ini");
        const QString sig = QStringLiteral("/7/client_linux_x86.ini.sig");
        const QByteArray absent;
        QTest::newRow("both present and valid: no traffic")
            << ManifestContent << signature << 1.0 << QStringList() << 0;
        QTest::newRow("only the manifest present")
            << ManifestContent << absent << 0.6667 << QStringList{sig} << 0;
        QTest::newRow("only the signature present")
            << absent << signature << 0.6667 << QStringList{ini} << 0;
        QTest::newRow("nothing present") << absent << absent << 0.3334 << QStringList{ini, sig} << 0;
        QTest::newRow("local files fail the check: both downloaded again")
            << ManifestContent << otherSignature << 1.0 << QStringList{ini, sig} << 1;
    }

    void reuseAndDownloads()
    {
        QFETCH(QByteArray, localManifest);
        QFETCH(QByteArray, localSignature);
        QFETCH(int, retries);
        const QString manifestPath = tempFile(QStringLiteral("client_linux_x86.ini"));
        if (!localManifest.isNull())
            QVERIFY(writeFile(manifestPath, localManifest));
        if (!localSignature.isNull())
            QVERIFY(writeFile(manifestPath + QStringLiteral(".sig"), localSignature));

        IniDownloadTaskSpecification task(network.get(), mirrors.get(), &configuration, nullptr, 0.1);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        CheckSignatureTaskSpecification* check = checkOf(task);
        QVERIFY(check);
        QTEST(check->parentProgressRange, "checkWeight");

        QVERIFY(finished.wait(10000));
        QCOMPARE(canceled.size(), 0);
        QCOMPARE(task.state, TaskSpecification::Finished);
        QTEST(server->requestLog(), "requests");
        QCOMPARE(task.retryCount, retries);
        QCOMPARE(texts(messages).first(), stageText(QStringLiteral("Download / check product ini")));
        QCOMPARE(int(texts(messages).count(stageText(QStringLiteral("Could not verify the product ini file. Retrying")))), retries);
        QCOMPARE(int(texts(messages).count(checkText(QStringLiteral("Signature check failed for %1").arg(manifestPath)))), retries);
        QCOMPARE(QFile(manifestPath).size(), ManifestContent.size());
    }

    // A type given on the command line names both files, here and remote.
    void typeNamesBothFiles()
    {
        configuration.updateType = QStringLiteral("client_special");
        serve(configuration.updateType, signatureOf(ManifestContent));
        IniDownloadTaskSpecification task(network.get(), mirrors.get(), &configuration, nullptr, 0.1);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        QVERIFY(finished.wait(10000));
        QCOMPARE(server->requestLog(),
                 (QStringList{QStringLiteral("/7/client_special.ini"), QStringLiteral("/7/client_special.ini.sig")}));
        QVERIFY(QFile::exists(tempFile(QStringLiteral("client_special.ini"))));
        QVERIFY(QFile::exists(tempFile(QStringLiteral("client_special.ini.sig"))));
        QVERIFY(!QFile::exists(tempFile(QStringLiteral("client_linux_x86.ini"))));
    }

    // A manifest that never verifies: the first check and 1000 retries,
    // then the stage ends with an error, once. A reset starts counting anew.
    void neverValidManifestGivesUpAfter1001Checks()
    {
        serve(configuration.updateType, otherSignature);
        IniDownloadTaskSpecification task(network.get(), mirrors.get(), &configuration, nullptr, 0.1);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        QSignalSpy messages(&task, &TaskSpecification::message);

        QElapsedTimer timer;
        timer.start();
        task.execute();
        // A real event loop: QTRY_* would sleep between its polls.
        QVERIFY(canceled.wait(60000));
        qInfo("1001 checks with 2002 downloads took %lld ms", timer.elapsed());

        QCOMPARE(task.state, TaskSpecification::ErrorCanceled);
        const QStringList lines = texts(messages);
        QCOMPARE(lines.last(), stageText(QStringLiteral("Could not verify the product ini file. Aborting")));
        QCOMPARE(int(lines.count(stageText(QStringLiteral("Could not verify the product ini file. Retrying")))), 1000);
        QCOMPARE(int(lines.filter(checkText(QStringLiteral("Signature check failed for "))).size()), 1001);
        QCOMPARE(server->totalRequestCount(), 2002);
        // The check task that ended the stage finishes unseen.
        QCoreApplication::processEvents();
        QCOMPARE(finished.size(), 0);
        QCOMPARE(canceled.size(), 1);

        task.reset();
        QCOMPARE(task.retryCount, 0);
        QCOMPARE(task.state, TaskSpecification::Ready);
    }

    // A cancel that arrives while a failing check runs ends the stage
    // instead of starting new downloads.
    void cancelDuringFailingCheckEndsTheStage()
    {
        const QString manifestPath = tempFile(QStringLiteral("client_linux_x86.ini"));
        QVERIFY(writeFile(manifestPath, ManifestContent));
        QVERIFY(writeFile(manifestPath + QStringLiteral(".sig"), otherSignature));

        // Hold every thread of the pool so that the check cannot run yet.
        PoolGate gate;

        IniDownloadTaskSpecification task(network.get(), mirrors.get(), &configuration, nullptr, 0.1);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        CheckSignatureTaskSpecification* check = checkOf(task);
        QTRY_COMPARE(check->state, TaskSpecification::Running);
        task.userCanceled();
        gate.open();

        QTRY_COMPARE(canceled.size(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(task.state, TaskSpecification::UserCanceled);
        QCOMPARE(finished.size(), 0);
        QCOMPARE(server->totalRequestCount(), 0);
    }
};

QTEST_GUILESS_MAIN(TestIniDownload)
#include "tst_inidownload.moc"
