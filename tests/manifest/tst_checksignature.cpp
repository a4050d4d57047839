#include "manifest/checksignaturetaskspecification.h"
#include "manifest/publickey.h"
#include "manifest/tomcryptutil.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <memory>

namespace {
const QString emptyMd5 = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");
const QString abcMd5 = QStringLiteral("900150983cd24fb0d6963f7d28e17f72"); // "abc"

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

// Signs content with the development private key, the pair of the embedded
// public key, and writes path and path.sig.
void writeSigned(const QString& path, const QByteArray& content)
{
    writeFile(path, content);
    Rsa_key key{};
    load_key(&key, QFile::encodeName(QStringLiteral(KR3_KEYS_DIR "/dev-private.key")).constData());
    unsigned char sig[512];
    unsigned long sigLen = sizeof sig;
    sign_msg(&key, reinterpret_cast<const unsigned char*>(content.constData()),
             static_cast<unsigned long>(content.size()), sig, &sigLen);
    free_key(&key);
    writeFile(path + QStringLiteral(".sig"), QByteArray(reinterpret_cast<const char*>(sig), int(sigLen)));
}

struct Outcome
{
    bool result;
    QStringList messages;
};

Outcome runCheck(const QString& path, const QString& md5)
{
    CheckSigFunc func(path, md5);
    QSignalSpy messages(&func, &ASyncFunc::message);
    Outcome outcome{func.run(), {}};
    for (const QList<QVariant>& m : messages)
        outcome.messages << m.at(0).toString();
    return outcome;
}
} // namespace

// The one verification of the program: MD5 against the manifest's sum, or the
// manifest's detached signature under the embedded key.
class TestCheckSignature : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        crypt_init();
    }

    void md5_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("pass");

        QTest::newRow("match") << QByteArray("abc") << abcMd5 << true;
        QTest::newRow("upper-case expected sum") << QByteArray("abc") << abcMd5.toUpper() << true;
        QTest::newRow("empty file") << QByteArray() << emptyMd5 << true;
        QTest::newRow("other content") << QByteArray("abd") << abcMd5 << false;
        QTest::newRow("blanks around the expected sum") << QByteArray("abc") << (" " + abcMd5 + " ") << false;
        QTest::newRow("truncated expected sum") << QByteArray("abc") << abcMd5.left(31) << false;
        // Larger than one read block, with a tail: the whole file is hashed.
        QTest::newRow("several blocks")
            << QByteArray(3 * 64 * 1024 + 17, 'x')
            << QString::fromLatin1(QCryptographicHash::hash(QByteArray(3 * 64 * 1024 + 17, 'x'),
                                                            QCryptographicHash::Md5).toHex())
            << true;
    }

    void md5()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        const QString file = path(QStringLiteral("md5-%1").arg(QTest::currentDataTag()));
        writeFile(file, content);
        const Outcome outcome = runCheck(file, expected);
        QTEST(outcome.result, "pass");
        QVERIFY(outcome.messages.isEmpty());
    }

    void missingFilesFailWithTheirMessage_data()
    {
        QTest::addColumn<bool>("withFile");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<QString>("missing");

        QTest::newRow("md5 of a missing file") << false << abcMd5 << "nothing";
        QTest::newRow("signature of a missing file") << false << QString() << "nothing";
        // An empty expected sum selects the signature check, which then
        // needs the ".sig" file.
        QTest::newRow("missing .sig") << true << QString() << "nothing.sig";
    }

    void missingFilesFailWithTheirMessage()
    {
        QFETCH(bool, withFile);
        QFETCH(QString, md5);
        QFETCH(QString, missing);
        if (withFile)
            writeFile(path(QStringLiteral("nothing")), "abc");
        else
            QFile::remove(path(QStringLiteral("nothing")));

        const Outcome outcome = runCheck(path(QStringLiteral("nothing")), md5);
        QVERIFY(!outcome.result);
        QCOMPARE(outcome.messages, QStringList{QStringLiteral("Could not open file %1 for reading").arg(path(missing))});
    }

    void signature_data()
    {
        QTest::addColumn<QByteArray>("signedContent");
        QTest::addColumn<QByteArray>("fileContent");
        QTest::addColumn<int>("sigSize"); // 0: the real signature
        QTest::addColumn<bool>("pass");

        const QByteArray manifest("[data]\nfile.txt=900150983cd24fb0d6963f7d28e17f72::3\n");
        QByteArray tampered = manifest;
        tampered[10] = 'X';
        QTest::newRow("valid") << manifest << manifest << 0 << true;
        QTest::newRow("one byte changed") << manifest << tampered << 0 << false;
        QTest::newRow("signature of 127 bytes") << manifest << manifest << 127 << false;
        QTest::newRow("signature of 129 bytes") << manifest << manifest << 129 << false;
        QTest::newRow("empty signature") << manifest << manifest << -1 << false;
    }

    void signature()
    {
        QFile devPublic(QStringLiteral(KR3_KEYS_DIR "/dev-public.key"));
        QVERIFY(devPublic.open(QIODevice::ReadOnly));
        if (devPublic.readAll() != QByteArray(reinterpret_cast<const char*>(PUBLIC_KEY), PUBLIC_KEY_SIZE))
            QSKIP("this build embeds another public key than the development one");
        QFETCH(QByteArray, signedContent);
        QFETCH(QByteArray, fileContent);
        QFETCH(int, sigSize);
        const QString file = path(QStringLiteral("product.ini"));
        writeSigned(file, signedContent);
        writeFile(file, fileContent);
        if (sigSize != 0) {
            QFile sig(file + QStringLiteral(".sig"));
            QVERIFY(sig.open(QIODevice::ReadWrite));
            QVERIFY(sig.resize(qMax(sigSize, 0)));
        }
        const Outcome outcome = runCheck(file, QString());
        QTEST(outcome.result, "pass");
        QVERIFY(outcome.messages.isEmpty());
    }

    void taskReportsVerdictBeforeEnding_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("errorOnFailure");
        QTest::addColumn<bool>("pass");
        QTest::addColumn<int>("endState");
        QTest::addColumn<QStringList>("messages");

        const QString failed = QStringLiteral("Signature check failed for %1");
        QTest::newRow("pass") << QByteArray("abc") << true << true << int(TaskSpecification::Finished) << QStringList();
        QTest::newRow("fail, caller retries")
            << QByteArray("abd") << false << false << int(TaskSpecification::Finished) << QStringList{failed};
        QTest::newRow("fail with error")
            << QByteArray("abd") << true << false << int(TaskSpecification::ErrorCanceled) << QStringList{failed};
    }

    void taskReportsVerdictBeforeEnding()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, errorOnFailure);
        QFETCH(QStringList, messages);
        const QString file = path(QStringLiteral("task-file"));
        writeFile(file, content);
        for (QString& m : messages)
            m = m.arg(file);

        CheckSignatureTaskSpecification task(file, abcMd5, errorOnFailure, nullptr, 0.2);
        QStringList events;
        connect(&task, &CheckSignatureTaskSpecification::checkDone, this,
                [&](bool pass, CheckSignatureTaskSpecification* t) {
                    QCOMPARE(t, &task);
                    QCOMPARE(t->state, TaskSpecification::Running);
                    events << QStringLiteral("checkDone %1").arg(pass);
                });
        connect(&task, &TaskSpecification::finished, this, [&] { events << QStringLiteral("finished"); });
        connect(&task, &TaskSpecification::canceled, this, [&] { events << QStringLiteral("canceled"); });
        QSignalSpy logged(&task, &TaskSpecification::message);

        task.execute();
        QVERIFY(events.isEmpty());
        QTRY_COMPARE(events.size(), 2);
        QFETCH(bool, pass);
        QFETCH(int, endState);
        QCOMPARE(events.at(0), QStringLiteral("checkDone %1").arg(pass));
        QCOMPARE(events.at(1), endState == TaskSpecification::Finished ? QStringLiteral("finished")
                                                                       : QStringLiteral("canceled"));
        QCOMPARE(int(task.state), endState);
        QStringList loggedTexts;
        for (const QList<QVariant>& m : logged)
            loggedTexts << m.at(0).toString();
        QCOMPARE(loggedTexts, messages);
    }

    void taskResetBeforeTheVerdictReportsNothing()
    {
        const QString file = path(QStringLiteral("reset-file"));
        writeFile(file, "abc");
        CheckSignatureTaskSpecification task(file, abcMd5, false, nullptr, 1.0);
        QSignalSpy verdicts(&task, &CheckSignatureTaskSpecification::checkDone);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        task.reset(); // waits for the work to end; its result arrives later
        QCOMPARE(task.state, TaskSpecification::Ready);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(verdicts.size(), 0);
        QCOMPARE(finished.size(), 0);
        QCOMPARE(task.state, TaskSpecification::Ready);
    }
};

QTEST_GUILESS_MAIN(TestCheckSignature)
#include "tst_checksignature.moc"
