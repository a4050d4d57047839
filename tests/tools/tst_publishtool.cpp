#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString tool = QStringLiteral(KR3_PUBLISH_PATH);
const QString devPrivateKey = QStringLiteral(KR3_KEYS_DIR "/dev-private.key");
const QString devPublicKey = QStringLiteral(KR3_KEYS_DIR "/dev-public.key");

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Result runTool(const QStringList& args)
{
    Result r;
    QProcess p;
    p.start(tool, args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    if (p.exitStatus() == QProcess::NormalExit)
        r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

} // namespace

// kr3-publish: key generation, signing and verification from the command line.
class TestPublishTool : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QString path(const QString& name) const { return dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QFile::exists(tool));
    }

    void keygenSignVerifyRoundTrip()
    {
        const QString priv = path(QStringLiteral("new-private.key"));
        const QString pub = path(QStringLiteral("new-public.key"));
        const QString file = path(QStringLiteral("client_linux_x86.ini"));
        QVERIFY(writeAll(file, "[client_linux_x86]\nupdate=1\n"));

        Result r = runTool({QStringLiteral("keygen"), priv, pub});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(QFile(priv).size(), 2048);
        QCOMPARE(QFile(pub).size(), 2048);
        QVERIFY(readAll(priv) != readAll(pub));

        r = runTool({QStringLiteral("sign"), priv, file});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(QFile(file + QStringLiteral(".sig")).size(), 128);

        r = runTool({QStringLiteral("verify"), pub, file});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(r.err.isEmpty());

        // The new pair is not the development pair.
        r = runTool({QStringLiteral("verify"), devPublicKey, file});
        QCOMPARE(r.exitCode, 1);
    }

    // A signature that does not fit the file exits 1 with a one-line reason.
    void invalidSignatureExitsOne_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("sigSize");
        QTest::addColumn<bool>("otherSignature");
        const QByteArray content("[client_linux_x86]\nupdate=1\nclient=2\n");
        QByteArray changed = content;
        changed[5] = 'X';
        QTest::newRow("file byte changed") << changed << 128 << false;
        QTest::newRow("byte appended") << content + '\n' << 128 << false;
        QTest::newRow("signature truncated") << content << 127 << false;
        QTest::newRow("signature empty") << content << 0 << false;
        QTest::newRow("signature of another file") << content << 128 << true;
    }

    void invalidSignatureExitsOne()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, sigSize);
        QFETCH(bool, otherSignature);
        const QString file = path(QStringLiteral("manifest.ini"));
        const QString sigFile = file + QStringLiteral(".sig");
        QVERIFY(writeAll(file, otherSignature ? QByteArray("another file")
                                              : QByteArray("[client_linux_x86]\nupdate=1\nclient=2\n")));
        Result r = runTool({QStringLiteral("sign"), devPrivateKey, file});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(writeAll(sigFile, readAll(sigFile).left(sigSize)));
        QVERIFY(writeAll(file, content));

        r = runTool({QStringLiteral("verify"), devPublicKey, file});
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(r.err.count('\n'), 1);
        QVERIFY(r.err.startsWith("kr3-publish verify: "));
    }

    // Bad usage and unreadable input exit 2 and say why on stderr.
    void badUsageExitsTwo_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("stderrPart");
        const QString file = QStringLiteral("@file");
        const QString missing = QStringLiteral("@missing");
        const QString garbage = QStringLiteral("@garbage");
        QTest::newRow("no command") << QStringList() << QByteArray("Usage: kr3-publish COMMAND");
        QTest::newRow("unknown command") << QStringList{QStringLiteral("publish")}
                                         << QByteArray("unknown command \"publish\"");
        QTest::newRow("keygen, one file") << QStringList{QStringLiteral("keygen"), missing}
                                          << QByteArray("Usage: kr3-publish keygen PRIVATE_FILE PUBLIC_FILE");
        QTest::newRow("sign, three files")
            << QStringList{QStringLiteral("sign"), devPrivateKey, file, file}
            << QByteArray("Usage: kr3-publish sign PRIVATE_FILE FILE");
        QTest::newRow("verify, no file") << QStringList{QStringLiteral("verify")}
                                         << QByteArray("Usage: kr3-publish verify PUBLIC_FILE FILE");
        QTest::newRow("verify, missing key")
            << QStringList{QStringLiteral("verify"), missing, file} << QByteArray("Cannot open file for reading");
        QTest::newRow("verify, garbage key")
            << QStringList{QStringLiteral("verify"), garbage, file} << QByteArray("rsa_import: ");
        QTest::newRow("verify, missing file")
            << QStringList{QStringLiteral("verify"), devPublicKey, missing} << QByteArray("Cannot open file for reading");
        QTest::newRow("verify, missing signature")
            << QStringList{QStringLiteral("verify"), devPublicKey, garbage} << QByteArray(".sig");
        QTest::newRow("sign, public key")
            << QStringList{QStringLiteral("sign"), devPublicKey, file} << QByteArray("not a private key");
        QTest::newRow("sign, missing file")
            << QStringList{QStringLiteral("sign"), devPrivateKey, missing} << QByteArray("Cannot open file for reading");
        QTest::newRow("keygen, unwritable")
            << QStringList{QStringLiteral("keygen"), QStringLiteral("@missing/a.key"), QStringLiteral("@missing/b.key")}
            << QByteArray("Cannot open file for writing");
    }

    void badUsageExitsTwo()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, stderrPart);
        const QString file = path(QStringLiteral("data.ini"));
        const QString garbage = path(QStringLiteral("garbage"));
        QVERIFY(writeAll(file, "data"));
        QVERIFY(writeAll(file + QStringLiteral(".sig"), QByteArray(128, 'x')));
        QVERIFY(writeAll(garbage, QByteArray(2048, 'g')));
        for (QString& arg : args) {
            arg.replace(QStringLiteral("@file"), file);
            arg.replace(QStringLiteral("@missing"), path(QStringLiteral("missing")));
            arg.replace(QStringLiteral("@garbage"), garbage);
        }
        const Result r = runTool(args);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains(stderrPart), r.err.constData());
        QVERIFY(r.out.isEmpty());
        QVERIFY(!QFile::exists(path(QStringLiteral("missing.sig"))));
    }

    void helpExitsZero()
    {
        const Result r = runTool({QStringLiteral("--help")});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains("kr3-publish verify PUBLIC_FILE FILE"));
    }
};

QTEST_GUILESS_MAIN(TestPublishTool)
#include "tst_publishtool.moc"
