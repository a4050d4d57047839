#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <optional>
#include <sys/stat.h>

#include "app/configuration.h"
#include "contexttranslator.h"
#include "udpresponder.h"

namespace {

QString q(const QString& text)
{
    return ContextTranslator::tagged("QObject", text);
}

// One start: the settings file, the command line after the program name,
// what the version server answers, and what the configuration ends up with.
struct StartCase {
    QByteArray ini {}; // contents of update.ini; null: there is no file
    QStringList args {};
    std::optional<QByteArray> serverReply = QByteArray("100,200,300"); // nullopt: no answer
    bool ok = true;
    Configuration::StartMode startMode = Configuration::StartModeInteractive;
    UpdateChannel channel = StableChannel;
    QString updateType = QStringLiteral("client_linux_x86");
    qint32 clientVersion = 100;
    QStringList errors {}; // every fatalError text, with its context
    int queries = 1;    // datagrams the server received
    QString proxy {};
    qint32 downloadConcurrency = 6;
};

} // namespace

Q_DECLARE_METATYPE(StartCase)

class TestConfiguration : public QObject
{
    Q_OBJECT

private:
    ContextTranslator translator;
    QByteArray savedTmpDir;
    bool hadTmpDir = false;

    static bool writeFile(const QString& path, const QByteArray& contents)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::installTranslator(&translator);
        hadTmpDir = qEnvironmentVariableIsSet("TMPDIR");
        savedTmpDir = qgetenv("TMPDIR");
    }

    void cleanup()
    {
        Configuration::setAppRootPath(QString());
        if (hadTmpDir)
            qputenv("TMPDIR", savedTmpDir);
        else
            qunsetenv("TMPDIR");
    }

    void start_data()
    {
        QTest::addColumn<StartCase>("c");

        const QByteArray alphaRevno = "[Channel]\nalpha=http://alpha.example/kr3\nalphaRevno=4711\n";

        // Channels and the settings file.
        QTest::newRow("no settings file: stable from the server") << StartCase {};
        QTest::newRow("beta=true") << StartCase {.ini = "[Channel]\nbeta=true\n", .channel = BetaChannel,
                                                 .clientVersion = 200};
        QTest::newRow("beta=no counts as true")
            << StartCase {.ini = "[Channel]\nbeta=no\n", .channel = BetaChannel, .clientVersion = 200};
        QTest::newRow("beta=FALSE") << StartCase {.ini = "[Channel]\nbeta=FALSE\n"};
        QTest::newRow("beta=0") << StartCase {.ini = "[Channel]\nbeta=0\n"};
        QTest::newRow("alpha with alphaRevno asks nobody")
            << StartCase {.ini = alphaRevno, .channel = AlphaChannel, .clientVersion = 4711, .queries = 0};
        QTest::newRow("alpha without alphaRevno: server's alpha field")
            << StartCase {.ini = "[Channel]\nalpha=http://alpha.example/kr3\n", .channel = AlphaChannel,
                          .clientVersion = 300};
        QTest::newRow("alphaRevno=0 asks the server")
            << StartCase {.ini = "[Channel]\nalpha=x\nalphaRevno=0\n", .channel = AlphaChannel,
                          .clientVersion = 300};
        QTest::newRow("alphaRevno that is no number asks the server")
            << StartCase {.ini = "[Channel]\nalpha=x\nalphaRevno=12ab\n", .channel = AlphaChannel,
                          .clientVersion = 300};
        QTest::newRow("alpha wins over beta")
            << StartCase {.ini = "[Channel]\nalpha=x\nbeta=true\n", .channel = AlphaChannel, .clientVersion = 300};
        // Unquoted, such a value reads back as a list of two texts.
        QTest::newRow("alpha holding a comma")
            << StartCase {.ini = "[Channel]\nalpha=http://a.example/x,y\n", .channel = AlphaChannel,
                          .clientVersion = 300};

        // Proxy and download concurrency.
        QTest::newRow("proxy and streams=50")
            << StartCase {.ini = "[update]\nproxy=http://proxy.example:3128\nstreams=50\n",
                          .proxy = QStringLiteral("http://proxy.example:3128"), .downloadConcurrency = 50};
        QTest::newRow("streams=0") << StartCase {.ini = "[update]\nstreams=0\n"};
        QTest::newRow("streams=-3") << StartCase {.ini = "[update]\nstreams=-3\n"};
        QTest::newRow("streams=many") << StartCase {.ini = "[update]\nstreams=many\n"};
        QTest::newRow("streams=1") << StartCase {.ini = "[update]\nstreams=1\n", .downloadConcurrency = 1};

        // Argument counts.
        QTest::newRow("TYPE VERSION asks nobody")
            << StartCase {.args = {"client_linux_x86", "123"}, .serverReply = std::nullopt, .clientVersion = 123,
                          .queries = 0};
        QTest::newRow("--nouser VERSION is TYPE VERSION")
            << StartCase {.args = {"--nouser", "123"}, .updateType = QStringLiteral("--nouser"),
                          .clientVersion = 123, .queries = 0};
        QTest::newRow("--nouser") << StartCase {.args = {"--nouser"},
                                                .startMode = Configuration::StartModeNoUser};
        QTest::newRow("--nouser with alpha revision")
            << StartCase {.ini = alphaRevno, .args = {"--nouser"}, .startMode = Configuration::StartModeNoUser,
                          .channel = AlphaChannel, .clientVersion = 4711, .queries = 0};
        QTest::newRow("--nouser TYPE VERSION asks the server first")
            << StartCase {.args = {"--nouser", "client_linux_x64", "77"},
                          .startMode = Configuration::StartModeNoUser,
                          .updateType = QStringLiteral("client_linux_x64"), .clientVersion = 77};
        QTest::newRow("four arguments are ignored") << StartCase {.args = {"a", "b", "c", "d"}};

        // Failures.
        QTest::newRow("foo") << StartCase {.args = {"foo"}, .ok = false,
                                           .startMode = Configuration::StartModeNone, .updateType = QString(),
                                           .clientVersion = 0, .errors = {q("--nouser option is missing")},
                                           .queries = 0};
        QTest::newRow("foo x y") << StartCase {.args = {"foo", "x", "y"}, .ok = false,
                                               .startMode = Configuration::StartModeNone,
                                               .updateType = QString(), .clientVersion = 0,
                                               .errors = {q("--nouser option is missing")}, .queries = 0};
        QTest::newRow("--nouser x y: server first, then the bad version")
            << StartCase {.args = {"--nouser", "x", "y"}, .ok = false,
                          .startMode = Configuration::StartModeNoUser, .updateType = QStringLiteral("x"),
                          .clientVersion = 0, .errors = {q("Invalid version nr (y)")}};
        QTest::newRow("TYPE 12a leaves version 0")
            << StartCase {.ini = alphaRevno, .args = {"client_linux_x86", "12a"}, .ok = false,
                          .channel = AlphaChannel, .clientVersion = 0, .errors = {q("Invalid version nr (12a)")},
                          .queries = 0};
        QTest::newRow("server silent")
            << StartCase {.serverReply = std::nullopt, .ok = false, .startMode = Configuration::StartModeNone,
                          .clientVersion = 0,
                          .errors = {q("Failed to query latest client\nversion from update server.")}};
        QTest::newRow("--nouser, server silent")
            << StartCase {.args = {"--nouser"}, .serverReply = std::nullopt, .ok = false,
                          .startMode = Configuration::StartModeNone, .clientVersion = 0,
                          .errors = {q("Failed to query latest client\nversion from update server.")}};
        QTest::newRow("empty field for the channel fails silently")
            << StartCase {.ini = "[Channel]\nbeta=1\n", .serverReply = QByteArray("100"), .ok = false,
                          .startMode = Configuration::StartModeNone, .channel = BetaChannel,
                          .clientVersion = 0};
        QTest::newRow("server's version is no number")
            << StartCase {.serverReply = QByteArray("1x,2,3"), .ok = false,
                          .startMode = Configuration::StartModeNone, .clientVersion = 0,
                          .errors = {q("Update server returned invalid version nr (1x)")}};
    }

    void start()
    {
        QFETCH(StartCase, c);

        QTemporaryDir installation;
        QVERIFY(installation.isValid());
        if (!c.ini.isNull())
            QVERIFY(writeFile(installation.filePath("update.ini"), c.ini));
        Configuration::setAppRootPath(installation.path());

        UdpResponder server;
        QVERIFY(server.isListening());
        server.setReply(c.serverReply);

        Configuration configuration;
        configuration.versionServerHost = "127.0.0.1";
        configuration.versionServerPort = server.port();
        configuration.versionQueryTimeoutMs = 300;
        QSignalSpy errors(&configuration, &Configuration::fatalError);
        for (const QString& error : std::as_const(c.errors))
            QTest::ignoreMessage(QtInfoMsg, error.toUtf8().constData()); // logged as well

        configuration.getProxyAndDownloadConcurrency();
        QCOMPARE(configuration.parseCommandLineOptions(QStringList {"update"} + c.args), c.ok);

        QStringList emitted;
        for (const QList<QVariant>& signal : std::as_const(errors))
            emitted << signal.at(0).toString();
        QCOMPARE(emitted, c.errors);
        QCOMPARE(configuration.startMode, c.startMode);
        QCOMPARE(configuration.updateChannel, c.channel);
        QCOMPARE(configuration.updateType, c.updateType);
        QCOMPARE(configuration.clientVersion, c.clientVersion);
        QCOMPARE(server.requestCount(), c.queries);
        QCOMPARE(configuration.proxy, c.proxy);
        QCOMPARE(configuration.downloadConcurrency, c.downloadConcurrency);
        QVERIFY(configuration.tempDir.isEmpty());
    }

    void clientTypeVersionNeedsBothEntries_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("error");

        QTest::newRow("no type") << QStringList {"update"} << 1 << q("No client type specified");
        QTest::newRow("no version") << QStringList {"update", "client_linux_x86"} << 1
                                    << q("No client version specified");
        QTest::newRow("both") << QStringList {"update", "client_linux_x86", "5"} << 1 << QString();
    }

    void clientTypeVersionNeedsBothEntries()
    {
        QFETCH(QStringList, args);
        QFETCH(int, index);
        QFETCH(QString, error);

        Configuration configuration;
        QSignalSpy errors(&configuration, &Configuration::fatalError);
        if (!error.isEmpty())
            QTest::ignoreMessage(QtInfoMsg, error.toUtf8().constData());
        QCOMPARE(configuration.getClientTypeVersion(args, index), error.isEmpty());
        QCOMPARE(errors.size(), error.isEmpty() ? 0 : 1);
        if (!error.isEmpty())
            QCOMPARE(errors.at(0).at(0).toString(), error);
    }

    // The run's directory is $TMPDIR/kestrune_temp_N with the first free N,
    // made by us alone and open to the owner only.
    void createTempDir_data()
    {
        QTest::addColumn<QString>("base"); // below the test's directory
        QTest::addColumn<bool>("trailingSlash");
        QTest::addColumn<QStringList>("takenDirs");
        QTest::addColumn<QStringList>("takenOther"); // files and dangling links
        QTest::addColumn<QString>("expected");

        QTest::newRow("first") << "tmp" << false << QStringList() << QStringList() << "tmp/kestrune_temp_0";
        QTest::newRow("0 to 2 taken") << "tmp" << false << QStringList {"0", "1", "2"} << QStringList()
                                      << "tmp/kestrune_temp_3";
        QTest::newRow("trailing slash") << "tmp" << true << QStringList {"0", "1", "2"} << QStringList()
                                        << "tmp/kestrune_temp_3";
        QTest::newRow("file and dangling link are not ours")
            << "tmp" << false << QStringList {"0"} << QStringList {"1", "2"} << "tmp/kestrune_temp_3";
        QTest::newRow("missing parents are made") << "a/b/c" << true << QStringList() << QStringList()
                                                  << "a/b/c/kestrune_temp_0";
    }

    void createTempDir()
    {
        QFETCH(QString, base);
        QFETCH(bool, trailingSlash);
        QFETCH(QStringList, takenDirs);
        QFETCH(QStringList, takenOther);
        QFETCH(QString, expected);

        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString basePath = root.filePath(base);
        QVERIFY(takenDirs.isEmpty() && takenOther.isEmpty() ? true : QDir().mkpath(basePath));
        for (const QString& n : std::as_const(takenDirs))
            QVERIFY(QDir().mkdir(basePath + "/kestrune_temp_" + n));
        bool asFile = true;
        for (const QString& n : std::as_const(takenOther)) {
            const QString path = basePath + "/kestrune_temp_" + n;
            if (asFile)
                QVERIFY(writeFile(path, "x"));
            else
                QVERIFY(QFile::link(root.filePath("nowhere"), path));
            asFile = !asFile;
        }
        qputenv("TMPDIR", QFile::encodeName(basePath + (trailingSlash ? "/" : "")));

        Configuration configuration;
        QSignalSpy errors(&configuration, &Configuration::fatalError);
        const mode_t oldMask = ::umask(022);
        const bool created = configuration.createTempDir();
        ::umask(oldMask);
        QVERIFY(created);
        QCOMPARE(errors.size(), 0);
        QCOMPARE(configuration.tempDir, root.filePath(expected));

        struct stat info {};
        QCOMPARE(::lstat(QFile::encodeName(configuration.tempDir).constData(), &info), 0);
        QVERIFY(S_ISDIR(info.st_mode));
        QCOMPARE(info.st_mode & 07777, mode_t(0700));
        QVERIFY(QDir(configuration.tempDir).isEmpty());
        QVERIFY(!QFileInfo::exists(root.filePath("nowhere")));
    }

    void createTempDirFailsWhenNothingCanBeMade()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        // Below a plain file no directory can be made.
        QVERIFY(writeFile(root.filePath("file"), "x"));
        qputenv("TMPDIR", QFile::encodeName(root.filePath("file")));

        Configuration configuration;
        configuration.tempDir = QStringLiteral("/earlier");
        QSignalSpy errors(&configuration, &Configuration::fatalError);
        const QString error = ContextTranslator::tagged("Configuration", "Unable to create temp directory.");
        QTest::ignoreMessage(QtInfoMsg, error.toUtf8().constData());
        QVERIFY(!configuration.createTempDir());
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), error);
        QCOMPARE(configuration.tempDir, QStringLiteral("/earlier"));
    }

    void initalizeStartResumesOrCreates()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        qputenv("TMPDIR", QFile::encodeName(root.path()));

        Configuration configuration;
        QVERIFY(configuration.initalizeStart(QStringLiteral("/somewhere/kestrune_temp_7")));
        QCOMPARE(configuration.tempDir, QStringLiteral("/somewhere/kestrune_temp_7"));
        QVERIFY(!QFileInfo::exists(root.filePath("kestrune_temp_0")));

        QVERIFY(configuration.initalizeStart(QString()));
        QCOMPARE(configuration.tempDir, root.filePath("kestrune_temp_0"));
        QVERIFY(QFileInfo(configuration.tempDir).isDir());
    }
};

QTEST_GUILESS_MAIN(TestConfiguration)
#include "tst_configuration.moc"
