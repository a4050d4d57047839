#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <optional>

#include "app/configuration.h"
#include "app/startup.h"
#include "udpresponder.h"

namespace {

struct ShownBox {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    bool hasParent;
};

// Closes every modal box that comes up while it lives and remembers what
// it showed.
class ModalBoxCloser : public QObject
{
public:
    QList<ShownBox> boxes;

    ModalBoxCloser()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            QWidget* const modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            if (auto* const box = qobject_cast<QMessageBox*>(modal)) {
                boxes.append({box->windowTitle(), box->text(), box->icon(), box->parentWidget() != nullptr});
                box->done(QMessageBox::Ok);
            } else {
                modal->close();
            }
        });
        timer.start(10);
    }

private:
    QTimer timer;
};

} // namespace

// The start-up sequence in this process, run with the German system locale
// (set in main below) against a loopback version server.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void exitCode_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<std::optional<QByteArray>>("serverReply");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("shownError"); // empty: no box

        const std::optional<QByteArray> silent;
        const std::optional<QByteArray> versions = QByteArray("100,200,300");

        QTest::newRow("bad command line") << QStringList {"foo"} << versions << 1
                                          << "--nouser option is missing";
        QTest::newRow("bad version") << QStringList {"client_linux_x86", "12a"} << versions << 1
                                     << "Invalid version nr (12a)";
        // The updater's catalogue is found for de_DE through its cut at "_".
        QTest::newRow("version query failed")
            << QStringList() << silent << 1
            << QString::fromUtf8("Konnte aktuelle Client Version nicht\nvom Aktualisierungsserver abfragen.");
        QTest::newRow("empty version field ends without a box") << QStringList() << std::optional(QByteArray(","))
                                                                << 1 << QString();
        QTest::newRow("type and version") << QStringList {"client_linux_x86", "123"} << silent << 0 << QString();
        QTest::newRow("version from the server") << QStringList() << versions << 0 << QString();
        QTest::newRow("--nouser") << QStringList {"--nouser"} << versions << 0 << QString();
    }

    void exitCode()
    {
        QFETCH(QStringList, args);
        QFETCH(std::optional<QByteArray>, serverReply);
        QFETCH(int, exitCode);
        QFETCH(QString, shownError);

        QTemporaryDir installation;
        QVERIFY(installation.isValid());
        Configuration::setAppRootPath(installation.path());

        UdpResponder server;
        QVERIFY(server.isListening());
        server.setReply(serverReply);

        auto* const app = qobject_cast<QApplication*>(QCoreApplication::instance());
        Startup startup(*app, QStringList {"update"} + args);
        startup.configurationCreated = [&server](Configuration& configuration) {
            configuration.versionServerHost = "127.0.0.1";
            configuration.versionServerPort = server.port();
            configuration.versionQueryTimeoutMs = 300;
        };

        ModalBoxCloser closer;
        if (!shownError.isEmpty())
            QTest::ignoreMessage(QtInfoMsg, shownError.toUtf8().constData());
        QCOMPARE(startup.run(), exitCode);
        Configuration::setAppRootPath(QString());

        if (shownError.isEmpty()) {
            QCOMPARE(closer.boxes.size(), 0);
        } else {
            QCOMPARE(closer.boxes.size(), 1);
            const ShownBox& box = closer.boxes.first();
            QCOMPARE(box.title, QStringLiteral("Fehler"));
            QCOMPARE(box.text, shownError);
            QCOMPARE(box.icon, QMessageBox::Critical);
            QVERIFY(!box.hasParent);
        }

        // The translators go when the sequence ends.
        QCOMPARE(QCoreApplication::translate("QObject", "Error"), QStringLiteral("Error"));
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
