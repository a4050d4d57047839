#include <future>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "app/singleinstancechecker.h"

namespace {

// Runs the blocking check on another thread, as a second updater would,
// while this thread's event loop serves the checker.
bool checkFromElsewhere(const QString& message)
{
    auto result = std::async(std::launch::async, [message] {
        return SingleInstanceChecker::checkExistingInstance(message);
    });
    // The check gives up after 2 x 1000 ms at most.
    for (int i = 0; i < 500 && result.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready; ++i)
        QTest::qWait(10);
    return result.get();
}

// Leaves a Unix socket file behind, the way a killed updater does.
bool leaveDeadSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (size_t(name.size()) >= sizeof address.sun_path) {
        ::close(fd);
        return false;
    }
    memcpy(address.sun_path, name.constData(), name.size());
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::listen(fd, 1) == 0;
    ::close(fd);
    return bound;
}

} // namespace

class TestSingleInstanceChecker : public QObject
{
    Q_OBJECT

private:
    // Socket files go to a private temporary directory.
    QTemporaryDir socketDir;

    QString socketPath() const
    {
        QLocalServer probe;
        if (!probe.listen(SingleInstanceChecker::getLocalServerName()))
            return QString();
        return probe.fullServerName();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(socketDir.isValid());
        qputenv("TMPDIR", QFile::encodeName(socketDir.path()));
        QCOMPARE(QDir::tempPath(), socketDir.path());
    }

    void serverName_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("home");
        QTest::addColumn<QString>("name");

        QTest::newRow("example") << "/Opt/App:1/update" << "/home/Ann" << "KR3ClientUpdate40";
        QTest::newRow("home keeps its case") << "/opt/app:1/update" << "/home/ann" << "KR3ClientUpdate37b";
        QTest::newRow("executable in lower case") << "/srv/Kestrune 3/update" << "/home/Ann"
                                                  << "KR3ClientUpdatedd07";
        QTest::newRow("same installation") << "/srv/kestrune 3/update" << "/home/Ann" << "KR3ClientUpdatedd07";
        QTest::newRow("UTF-8") << QString::fromUtf8("/opt/kestrüne/update") << QString::fromUtf8("/home/jörg")
                               << "KR3ClientUpdate6256";
        QTest::newRow("no leading zeros") << "/opt/k1887/update" << "/home/ann" << "KR3ClientUpdate2";
    }

    void serverName()
    {
        QFETCH(QString, executable);
        QFETCH(QString, home);
        QFETCH(QString, name);

        QCOMPARE(SingleInstanceChecker::getLocalServerName(executable, home), name);
    }

    void ownName()
    {
        QCOMPARE(SingleInstanceChecker::getLocalServerName(),
                 SingleInstanceChecker::getLocalServerName(QCoreApplication::applicationFilePath(), QDir::homePath()));
    }

    void nobodyListening()
    {
        QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    }

    void message_data()
    {
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("received");

        QTest::newRow("activate") << "#" << "#";
        QTest::newRow("other text") << "hello" << "hello";
        QTest::newRow("up to a zero byte") << QString::fromLatin1("ab\0cd", 5) << "ab";
    }

    // Each caller's message is reported once; callers come one after another.
    void message()
    {
        QFETCH(QString, sent);
        QFETCH(QString, received);

        auto* checker = new SingleInstanceChecker;
        QSignalSpy spy(checker, &SingleInstanceChecker::otherInstanceActivate);
        for (int caller = 1; caller <= 2; ++caller) {
            QVERIFY(checkFromElsewhere(sent));
            QTRY_COMPARE_WITH_TIMEOUT(spy.size(), caller, 5000);
            QCOMPARE(spy.last().first().toString(), received);
        }
        QTest::qWait(50);
        QCOMPARE(spy.size(), 2);

        delete checker;
        QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    }

    void staleSocket_data()
    {
        QTest::addColumn<bool>("deadSocket");

        QTest::newRow("socket of a killed updater") << true;
        QTest::newRow("plain file") << false;
    }

    // Whatever a crashed updater left under the name, the next one listens.
    void staleSocket()
    {
        QFETCH(bool, deadSocket);

        const QString path = socketPath();
        QVERIFY(!path.isEmpty());
        QVERIFY(!QFile::exists(path));
        if (deadSocket) {
            QVERIFY(leaveDeadSocket(path));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QVERIFY(QFile::exists(path));
        QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));

        SingleInstanceChecker checker;
        QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
        QVERIFY(checkFromElsewhere(QStringLiteral("#")));
        QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, 5000);
        QCOMPARE(spy.first().first().toString(), QStringLiteral("#"));
    }
};

QTEST_GUILESS_MAIN(TestSingleInstanceChecker)
#include "tst_singleinstancechecker.moc"
