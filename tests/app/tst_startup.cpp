#include <QApplication>
#include <QLabel>
#include <QLocalServer>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <optional>

#include "app/configuration.h"
#include "app/singleinstancechecker.h"
#include "app/startup.h"
#include "ui/mainwindow.h"

#include "modalboxcloser.h"
#include "udpresponder.h"

// The start-up sequence in this process, run with the German system locale
// (set in main below) against a loopback version server. Boxes are closed by
// the test; a window that comes up is closed by the test unless the row
// expects the automatic start to end the program.
class TestStartup : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir socketDir;
    // Asked for a banner by every window; never answers.
    UdpResponder bannerService;

private slots:
    void initTestCase()
    {
        // The instance guard's socket goes to a private directory.
        QVERIFY(socketDir.isValid());
        QVERIFY(bannerService.isListening());
        qputenv("TMPDIR", QFile::encodeName(socketDir.path()));
    }

    void exitCode_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<std::optional<QByteArray>>("serverReply");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("shownError"); // empty: no box
        QTest::addColumn<bool>("boxHasParent");
        QTest::addColumn<QString>("channelText"); // null: no window shown

        const std::optional<QByteArray> silent;
        const std::optional<QByteArray> versions = QByteArray("100,200,300");

        // Command line and defaults: the box stands alone, no window is shown.
        QTest::newRow("bad command line") << QStringList{"foo"} << versions << 1 << "--nouser option is missing"
                                          << false << QString();
        QTest::newRow("bad version") << QStringList{"client_linux_x86", "12a"} << versions << 1
                                     << "Invalid version nr (12a)" << false << QString();
        // The updater's catalogue is found for de_DE through its cut at "_".
        QTest::newRow("version query failed")
            << QStringList() << silent << 1
            << QString::fromUtf8("Konnte aktuelle Client Version nicht\nvom Aktualisierungsserver abfragen.") << false
            << QString();
        QTest::newRow("empty version field ends without a box")
            << QStringList() << std::optional(QByteArray(",")) << 1 << QString() << false << QString();

        // The window waits for the user; closing it ends with 0.
        QTest::newRow("type and version") << QStringList{"client_linux_x86", "123"} << silent << 0 << QString()
                                          << false << "";
        QTest::newRow("version from the server") << QStringList() << versions << 0 << QString() << false << "";

        // "--nouser" starts the update by itself; without mirrors.ini the
        // engine's fatal error ends the program with 2.
        QTest::newRow("--nouser starts by itself") << QStringList{"--nouser"} << versions << 2
                                                   << "mirrors.ini is missing, cannot proceed." << true << "";
    }

    void exitCode()
    {
        QFETCH(QStringList, args);
        QFETCH(std::optional<QByteArray>, serverReply);
        QFETCH(int, exitCode);
        QFETCH(QString, shownError);
        QFETCH(bool, boxHasParent);
        QFETCH(QString, channelText);

        QTemporaryDir installation;
        QVERIFY(installation.isValid());
        Configuration::setAppRootPath(installation.path());

        UdpResponder server;
        QVERIFY(server.isListening());
        server.setReply(serverReply);

        auto* const app = qobject_cast<QApplication*>(QCoreApplication::instance());
        Startup startup(*app, QStringList{"update"} + args);
        startup.configurationCreated = [&server](Configuration& configuration) {
            configuration.versionServerHost = "127.0.0.1";
            configuration.versionServerPort = server.port();
            configuration.versionQueryTimeoutMs = 300;
        };
        startup.autoStartDelayMs = 50;
        startup.bannerHost = QStringLiteral("127.0.0.1");
        startup.bannerPort = bannerService.port();
        QString shownChannel;
        bool autoStartExpected = args.value(0) == QLatin1String("--nouser");
        startup.windowShown = [&](MainWindow& window) {
            shownChannel = window.findChild<QLabel*>(QStringLiteral("versionLabel"))->text();
            // Long enough for an automatic start that must not come.
            if (!autoStartExpected)
                QTimer::singleShot(500, &window, &QWidget::close);
        };

        ModalBoxCloser closer;
        if (!shownError.isEmpty())
            QTest::ignoreMessage(QtInfoMsg, shownError.toUtf8().constData());
        QCOMPARE(startup.run(), exitCode);
        Configuration::setAppRootPath(QString());

        QCOMPARE(shownChannel, channelText);
        if (shownError.isEmpty()) {
            QVERIFY2(closer.boxes.isEmpty(), qPrintable(closer.describe()));
        } else {
            QCOMPARE(closer.boxes.size(), 1);
            const ModalBoxCloser::Box& box = closer.boxes.first();
            QCOMPARE(box.title, QStringLiteral("Fehler"));
            QCOMPARE(box.text, shownError);
            QCOMPARE(box.icon, QMessageBox::Critical);
            QCOMPARE(box.hasParent, boxHasParent);
        }

        // The translators go when the sequence ends.
        QCOMPARE(QCoreApplication::translate("QObject", "Error"), QStringLiteral("Error"));
    }

    // An updater that answers under our name is asked to come to the front;
    // this start ends with 0 before reading its command line.
    void otherInstanceRuns()
    {
        QTemporaryDir installation;
        QVERIFY(installation.isValid());
        Configuration::setAppRootPath(installation.path());
        SingleInstanceChecker running;
        QSignalSpy activated(&running, &SingleInstanceChecker::otherInstanceActivate);

        auto* const app = qobject_cast<QApplication*>(QCoreApplication::instance());
        Startup startup(*app, QStringList{"update", "foo"});
        startup.bannerHost = QStringLiteral("127.0.0.1");
        startup.bannerPort = bannerService.port();
        bool windowShown = false;
        startup.windowShown = [&](MainWindow&) { windowShown = true; };
        ModalBoxCloser closer;
        QCOMPARE(startup.run(), 0);
        Configuration::setAppRootPath(QString());

        QVERIFY(!windowShown);
        QVERIFY2(closer.boxes.isEmpty(), qPrintable(closer.describe()));
        QTRY_COMPARE(activated.size(), 1);
        QCOMPARE(activated.first().first().toString(), QStringLiteral("#"));
    }
};

int main(int argc, char* argv[])
{
    // The start-up takes its catalogue from the system locale.
    qputenv("LC_ALL", "de_DE.UTF-8");
    QApplication app(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
