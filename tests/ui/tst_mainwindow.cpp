#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QGridLayout>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QVBoxLayout>

#include <memory>

#include "app/configuration.h"
#include "app/singleinstancechecker.h"
#include "app/updateengine.h"
#include "app/updateinidata.h"
#include "ui/mainwindow.h"
#include "ui/urlclicklabel.h"

#include "contexttranslator.h"
#include "filefixtures.h"
#include "httptestserver.h"
#include "modalboxcloser.h"
#include "releasefixtures.h"
#include "udpresponder.h"

namespace {

const QString tool = QStringLiteral(KR3_PUBLISH_PATH);
const QString devPrivateKey = QStringLiteral(KR3_KEYS_DIR "/dev-private.key");
constexpr int ReleaseVersion = 3;
const QString manifestPath = QStringLiteral("/3/client_linux_x86.ini");
const QString libraryPath = QStringLiteral("/3/files/lib/libkr3.so");

// An empty installation whose mirrors.ini names the test server, and the
// configuration of an interactive start for the published release.
struct Installation
{
    QTemporaryDir dir;
    Configuration configuration;

    explicit Installation(const QString& mirrorUrl)
    {
        ReleaseFixtures::writeMirrorsIni(dir.filePath(QStringLiteral("mirrors.ini")), {{QStringLiteral("local"), mirrorUrl}});
        Configuration::setAppRootPath(dir.path());
        configuration.startMode = Configuration::StartModeInteractive;
        configuration.updateType = QStringLiteral("client_linux_x86");
        configuration.clientVersion = ReleaseVersion;
    }
    ~Installation() { Configuration::setAppRootPath(QString()); }
};

// The banner service of the windows under test: silent unless a test
// gives it a reply.
UdpResponder* bannerService = nullptr;

class TestWindow : public MainWindow
{
public:
    explicit TestWindow(Configuration& configuration)
        : MainWindow(configuration, QStringLiteral("127.0.0.1"), bannerService->port())
    {
    }
};

template <typename T>
T* child(const QWidget& window, const char* name)
{
    return window.findChild<T*>(QLatin1String(name));
}

QByteArray pngBytes(int width, int height, Qt::GlobalColor colour = Qt::darkBlue)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QStringList visibleFigures(const QWidget& window)
{
    QStringList shown;
    for (const char* name : {"totalSizeLabel", "label_6", "totalTotalSizeLabel", "downloadSpeedLabel"}) {
        if (child<QLabel>(window, name)->isVisible())
            shown.append(QLatin1String(name));
    }
    return shown;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir workDir;
    QString releaseDir;
    QString mirrorRoot;
    std::unique_ptr<HttpTestServer> server;
    std::unique_ptr<UdpResponder> banners;

    QString logText(const QWidget& window) const { return child<QTextEdit>(window, "outputTextEdit")->toPlainText(); }

private slots:
    void initTestCase()
    {
        QVERIFY(workDir.isValid());
        // The runs' temporary directories and the instance guard's socket.
        const QString temp = workDir.filePath(QStringLiteral("tmp"));
        QVERIFY(QDir().mkpath(temp));
        qputenv("TMPDIR", QFile::encodeName(temp));

        releaseDir = workDir.filePath(QStringLiteral("release"));
        QVERIFY(ReleaseFixtures::writeTree(releaseDir, {
            {QStringLiteral("kr3client_runscript.sh"),
             "#!/bin/sh\necho started > \"$(dirname \"$0\")/client-started\"\n"},
            {QStringLiteral("lib/libkr3.so"), FileFixtures::sampleData(200000, 7)},
            {QStringLiteral("data/world.pak"), FileFixtures::sampleData(300000, 8)},
            {QStringLiteral("data/readme.txt"), "Kestrune 3\n"},
        }));
        mirrorRoot = workDir.filePath(QStringLiteral("mirror"));
        ReleaseFixtures::PublishOptions options;
        options.version = ReleaseVersion;
        options.gzipPatterns = {QStringLiteral("*.pak")};
        QString failure;
        QVERIFY2(ReleaseFixtures::publish(tool, devPrivateKey, options, releaseDir, mirrorRoot, &failure),
                 qPrintable(failure));

        banners = std::make_unique<UdpResponder>();
        QVERIFY(banners->isListening());
        bannerService = banners.get();

        server = std::make_unique<HttpTestServer>();
        QVERIFY(server->isListening());
        server->setRootDirectory(mirrorRoot);
    }

    void cleanupTestCase()
    {
        server.reset();
        bannerService = nullptr;
        banners.reset();
    }

    // The form: widgets, names, sizes and texts, the texts under the
    // context "MainWindow".
    void form()
    {
        Installation installation(server->baseUrl());
        ContextTranslator translator;
        QCoreApplication::installTranslator(&translator);
        TestWindow window(installation.configuration);
        QCoreApplication::removeTranslator(&translator);

        QCOMPARE(window.windowTitle(), ContextTranslator::tagged("MainWindow", "Kestrune 3 Client Update"));
        QCOMPARE(window.layout()->objectName(), QStringLiteral("verticalLayout"));
        QCOMPARE(window.layout()->sizeConstraint(), QLayout::SetFixedSize);
        const QStringList layoutOrder{QStringLiteral("gridLayout"), QStringLiteral("banner"),
                                      QStringLiteral("horizontalLayout_3"), QStringLiteral("totalProgressBar"),
                                      QStringLiteral("outputTextEdit"), QStringLiteral("horizontalLayout")};
        QCOMPARE(window.layout()->count(), layoutOrder.size());
        for (int i = 0; i < layoutOrder.size(); ++i) {
            QLayoutItem* const item = window.layout()->itemAt(i);
            const QObject* const object = item->widget() ? static_cast<QObject*>(item->widget()) : item->layout();
            QCOMPARE(object->objectName(), layoutOrder.at(i));
        }
        auto* grid = window.findChild<QGridLayout*>(QStringLiteral("gridLayout"));
        int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
        grid->getItemPosition(grid->indexOf(child<QWidget>(window, "kestruneLabel")), &row, &column, &rowSpan,
                              &columnSpan);
        QCOMPARE(QList<int>({row, column, rowSpan}), QList<int>({0, 2, 2}));

        const QList<QPair<const char*, const char*>> texts{
            {"kr3Label", "<span style=\"font-size:14pt; font-weight:bold;\">Kestrune 3 Client Update</span>"},
            {"downloadSpeedLabel", "0 KB/s"}, {"totalSizeLabel", "0 KB"}, {"label_6", "/"},
            {"totalTotalSizeLabel", "0 KB"}};
        for (const auto& [name, text] : texts)
            QCOMPARE(child<QLabel>(window, name)->text(), ContextTranslator::tagged("MainWindow", QLatin1String(text)));
        QVERIFY(child<QLabel>(window, "versionLabel")->text().isEmpty());
        const auto* copyright = child<QLabel>(window, "copyrightLabel");
        QVERIFY(copyright->text().startsWith(QLatin1String("[MainWindow] ")));
        QVERIFY(copyright->text().contains(QLatin1String("<a href=\"%1\">").arg(MainWindow::WebSiteUrl)));
        QVERIFY(copyright->openExternalLinks());

        const auto* logo = child<UrlClickLabel>(window, "kestruneLabel");
        QVERIFY(!logo->pixmap().isNull());
        QCOMPARE(logo->getUrl(), MainWindow::WebSiteUrl);
        QCOMPARE(logo->cursor().shape(), Qt::PointingHandCursor);
        const auto* banner = child<UrlClickLabel>(window, "banner");
        QCOMPARE(banner->minimumSize(), QSize(468, 60));
        QCOMPARE(banner->maximumSize(), QSize(468, 60));
        QCOMPARE(banner->sizePolicy(), QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed));
        QVERIFY(banner->hasScaledContents());
        QCOMPARE(banner->alignment(), Qt::AlignCenter);
        QCOMPARE(banner->cursor().shape(), Qt::PointingHandCursor);
        QVERIFY(banner->pixmap().isNull());
        QCOMPARE(child<QLabel>(window, "versionLabel")->minimumWidth(), 100);
        QCOMPARE(child<QLabel>(window, "downloadSpeedLabel")->minimumWidth(), 75);
        QCOMPARE(child<QLabel>(window, "downloadSpeedLabel")->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);

        const auto* bar = child<QProgressBar>(window, "totalProgressBar");
        QCOMPARE(QList<int>({bar->minimum(), bar->maximum(), bar->value()}), QList<int>({0, 1000, 0}));
        auto* log = child<QTextEdit>(window, "outputTextEdit");
        QVERIFY(log->isReadOnly());
        QCOMPARE(log->maximumHeight(), 100);
        QVERIFY(log->isHidden());
        auto* details = child<QPushButton>(window, "detailsButton");
        auto* start = child<QPushButton>(window, "startButton");
        QCOMPARE(details->text(), ContextTranslator::tagged("MainWindow", "Details"));
        QVERIFY(details->isCheckable());
        QCOMPARE(start->text(), ContextTranslator::tagged("MainWindow", "Start Update"));
        QVERIFY(start->isDefault());
        // The widgets that Tab visits, in their order.
        QList<QWidget*> tabOrder;
        for (QWidget* w = start; tabOrder.size() < 50; w = w->nextInFocusChain()) {
            if (w == start && !tabOrder.isEmpty())
                break;
            if (w->focusPolicy() & Qt::TabFocus)
                tabOrder.append(w);
        }
        QCOMPARE(tabOrder, QList<QWidget*>({start, details, log}));

        // The window takes the size of its contents; the log adds to it.
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QSize withoutLog = window.size();
        QCOMPARE(window.minimumSize(), window.maximumSize());
        details->click();
        QTRY_VERIFY(window.height() > withoutLog.height());
        details->click();
        QTRY_COMPARE(window.size(), withoutLog);
    }

    void channelLabel_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<QString>("text");

        QTest::newRow("stable") << int(StableChannel) << QString();
        QTest::newRow("beta") << int(BetaChannel) << "Beta channel";
        QTest::newRow("alpha") << int(AlphaChannel) << "Alpha channel (4711)";
    }

    void channelLabel()
    {
        QFETCH(int, channel);
        QFETCH(QString, text);

        Installation installation(server->baseUrl());
        installation.configuration.updateChannel = UpdateChannel(channel);
        installation.configuration.clientVersion = 4711;
        TestWindow window(installation.configuration);
        window.setUIToConfigSpecs();
        QCOMPARE(child<QLabel>(window, "versionLabel")->text(), text);
    }

    void transferFigures_data()
    {
        QTest::addColumn<quint64>("done");
        QTest::addColumn<quint64>("total");
        QTest::addColumn<quint64>("speed");
        QTest::addColumn<QStringList>("texts"); // done, total, speed

        QTest::newRow("below a thousand") << quint64(999) << quint64(999) << quint64(999)
                                          << QStringList{"0 KB", "0 KB", "0 KB/s"};
        QTest::newRow("a thousand") << quint64(1000) << quint64(1000) << quint64(1000)
                                    << QStringList{"1 KB", "1 KB", "1 KB/s"};
        QTest::newRow("truncated, not rounded, not 1024")
            << quint64(1999) << quint64(123456789) << quint64(1023999)
            << QStringList{"1 KB", "123456 KB", "1023 KB/s"};
        QTest::newRow("beyond 32 bits") << quint64(5000000000ULL) << quint64(99999999999ULL) << quint64(0)
                                        << QStringList{"5000000 KB", "99999999 KB", "0 KB/s"};
    }

    // The figures show thousands of bytes while a transfer is active; without
    // one they are hidden and keep their last texts.
    void transferFigures()
    {
        QFETCH(quint64, done);
        QFETCH(quint64, total);
        QFETCH(quint64, speed);
        QFETCH(QStringList, texts);

        Installation installation(server->baseUrl());
        TestWindow window(installation.configuration);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(visibleFigures(window), QStringList());
        auto* engine = window.findChild<UpdateEngine*>();

        emit engine->downloadProgress(done, total, speed, true);
        QCOMPARE(visibleFigures(window).size(), 4);
        const QStringList shown{child<QLabel>(window, "totalSizeLabel")->text(),
                                child<QLabel>(window, "totalTotalSizeLabel")->text(),
                                child<QLabel>(window, "downloadSpeedLabel")->text()};
        QCOMPARE(shown, texts);

        emit engine->downloadProgress(77000, 88000, 99000, false);
        QCOMPARE(visibleFigures(window), QStringList());
        QCOMPARE(child<QLabel>(window, "totalSizeLabel")->text(), texts.at(0));
        QCOMPARE(child<QLabel>(window, "totalTotalSizeLabel")->text(), texts.at(1));
        QCOMPARE(child<QLabel>(window, "downloadSpeedLabel")->text(), texts.at(2));
        QCOMPARE(child<QLabel>(window, "label_6")->text(), QStringLiteral("/"));
    }

    void progressBar_data()
    {
        QTest::addColumn<qreal>("fraction");
        QTest::addColumn<int>("value");

        QTest::newRow("nothing") << qreal(0.0) << 0;
        QTest::newRow("below a thousandth") << qreal(0.0009) << 0;
        QTest::newRow("half") << qreal(0.5) << 500;
        QTest::newRow("truncated toward zero") << qreal(0.9999) << 999;
        QTest::newRow("all") << qreal(1.0) << 1000;
    }

    void progressBar()
    {
        QFETCH(qreal, fraction);
        QFETCH(int, value);

        Installation installation(server->baseUrl());
        TestWindow window(installation.configuration);
        emit window.findChild<UpdateEngine*>()->updateProgress(fraction);
        QCOMPARE(child<QProgressBar>(window, "totalProgressBar")->value(), value);
    }

    // Progress arrives with every chunk; the bar follows a moment later with
    // the newest value instead of being redrawn for each.
    void progressBarFollowsTheNewestValue()
    {
        Installation installation(server->baseUrl());
        TestWindow window(installation.configuration);
        auto* engine = window.findChild<UpdateEngine*>();
        auto* bar = child<QProgressBar>(window, "totalProgressBar");
        emit engine->updateProgress(0.1);
        emit engine->updateProgress(0.2);
        emit engine->updateProgress(0.3);
        QCOMPARE(bar->value(), 100);
        QTRY_COMPARE(bar->value(), 300);
    }

    // Lines are plain text paragraphs; showing the log scrolls to its end.
    void detailsLog()
    {
        Installation installation(server->baseUrl());
        TestWindow window(installation.configuration);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* engine = window.findChild<UpdateEngine*>();
        auto* log = child<QTextEdit>(window, "outputTextEdit");
        for (int i = 0; i < 40; ++i)
            emit engine->message(QStringLiteral("line %1").arg(i));
        emit engine->message(QStringLiteral("<b>data/a<b.pak</b>"));
        // Lines are written a few times a second, not one by one.
        QCOMPARE(log->document()->isEmpty(), true);
        QTRY_COMPARE(log->document()->blockCount(), 41);
        QCOMPARE(log->document()->lastBlock().text(), QStringLiteral("<b>data/a<b.pak</b>"));

        auto* details = child<QPushButton>(window, "detailsButton");
        log->verticalScrollBar()->setValue(0);
        details->click();
        QVERIFY(log->isVisible());
        QTRY_VERIFY(log->verticalScrollBar()->maximum() > 0);
        QTRY_COMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());

        // A log scrolled to its end follows new lines; one scrolled back
        // stays where the reader left it.
        emit engine->message(QStringLiteral("newest"));
        QTRY_COMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
        log->verticalScrollBar()->setValue(0);
        emit engine->message(QStringLiteral("one more"));
        QTRY_COMPARE(log->document()->lastBlock().text(), QStringLiteral("one more"));
        QCOMPARE(log->verticalScrollBar()->value(), 0);

        details->click();
        QVERIFY(log->isHidden());
    }

    // The window asks the banner service when it is built and shows the
    // image the engine fetches, with its address.
    void bannerFromService()
    {
        server->setRule(QStringLiteral("/banner.png"), HttpTestRule::ok(pngBytes(468, 60, Qt::darkGreen)));
        banners->setReply(QByteArray("http://127.0.0.1:") + QByteArray::number(server->port())
                          + "/banner.png,https://www.kestrune.example/news");
        const auto silence = qScopeGuard([this] {
            banners->setReply(std::nullopt);
            server->removeRule(QStringLiteral("/banner.png"));
        });
        const int requestsBefore = banners->requestCount();

        Installation installation(server->baseUrl());
        TestWindow window(installation.configuration);
        auto* label = child<UrlClickLabel>(window, "banner");
        QTRY_VERIFY_WITH_TIMEOUT(!label->pixmap().isNull(), 10000);
        QCOMPARE(label->getUrl(), QStringLiteral("https://www.kestrune.example/news"));
        QCOMPARE(label->pixmap().toImage().pixelColor(10, 10), QColor(Qt::darkGreen));
        QCOMPARE(banners->requestCount(), requestsBefore + 1);
        QCOMPARE(banners->requests().last(), QByteArray("\x01\x01", 2));
    }

    void banner_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("shown");

        QTest::newRow("PNG") << pngBytes(100, 20) << true;
        QTest::newRow("not an image") << QByteArray("<html>not found</html>") << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("cut PNG") << pngBytes(100, 20).left(60) << false;
    }

    // A banner that decodes is shown at 468 x 60 with its address; anything
    // else changes nothing, not even the address of an earlier banner.
    void banner()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, shown);

        Installation installation(server->baseUrl());
        TestWindow window(installation.configuration);
        auto* engine = window.findChild<UpdateEngine*>();
        auto* label = child<UrlClickLabel>(window, "banner");
        const QString earlierUrl = QStringLiteral("https://www.kestrune.example/earlier");
        emit engine->bannerFound(pngBytes(468, 60, Qt::darkRed), earlierUrl);
        const QImage earlier = label->pixmap().toImage();
        QVERIFY(!earlier.isNull());

        emit engine->bannerFound(bytes, QStringLiteral("https://www.kestrune.example/news"));
        if (shown) {
            QCOMPARE(label->getUrl(), QStringLiteral("https://www.kestrune.example/news"));
            QCOMPARE(label->pixmap().size(), QSize(468, 60));
            QVERIFY(label->pixmap().toImage() != earlier);
        } else {
            QCOMPARE(label->getUrl(), earlierUrl);
            QCOMPARE(label->pixmap().toImage(), earlier);
        }
    }

    // "#" from another start brings the window to the front; other messages
    // are ignored.
    void otherInstance_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("activated");

        QTest::newRow("#") << "#" << true;
        QTest::newRow("other text") << "hello" << false;
        QTest::newRow("# with more") << "##" << false;
    }

    void otherInstance()
    {
        QFETCH(QString, message);
        QFETCH(bool, activated);

        Installation installation(server->baseUrl());
        TestWindow window(installation.configuration);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QWidget other;
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        other.activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), &other);

        emit window.findChild<SingleInstanceChecker*>()->otherInstanceActivate(message);
        if (activated) {
            QTRY_COMPARE(QApplication::activeWindow(), &window);
        } else {
            QTest::qWait(50);
            QCOMPARE(QApplication::activeWindow(), &other);
        }
    }

    void restartAfter_data()
    {
        QTest::addColumn<bool>("userCancel");

        QTest::newRow("user cancel") << true;
        QTest::newRow("failed run") << false;
    }

    // The start button through a run that is cancelled or fails, a complete
    // second run after "Restart", and the start of the client.
    void restartAfter()
    {
        QFETCH(bool, userCancel);

        Installation installation(server->baseUrl());
        TestWindow window(installation.configuration);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* engine = window.findChild<UpdateEngine*>();
        auto* start = child<QPushButton>(window, "startButton");
        auto* bar = child<QProgressBar>(window, "totalProgressBar");
        QCOMPARE(start->text(), QStringLiteral("Start Update"));
        QVERIFY(start->isEnabled());

        if (userCancel)
            server->setRule(libraryPath, HttpTestRule::stallBeforeHeaders());
        else
            server->setRule(manifestPath, HttpTestRule::statusCode(404));
        ModalBoxCloser closer;
        QSignalSpy canceled(engine, &UpdateEngine::updateCanceled);
        start->click();
        QVERIFY(engine->busy());
        QCOMPARE(start->text(), QStringLiteral("Start Update"));
        QVERIFY(!start->isEnabled());
        if (userCancel) {
            QTRY_COMPARE_WITH_TIMEOUT(server->stalledCount(), 1, 20000);
            QVERIFY(bar->value() > 0);
            start->click(); // disabled: nothing happens
            engine->cancelUpdate();
        }
        QTRY_COMPARE_WITH_TIMEOUT(canceled.size(), 1, 30000);
        server->removeRule(userCancel ? libraryPath : manifestPath);

        QCOMPARE(start->text(), QStringLiteral("Restart"));
        QVERIFY(start->isEnabled());
        QVERIFY(!engine->busy());
        QCOMPARE(bar->value(), 0);
        QCOMPARE(child<QTextEdit>(window, "outputTextEdit")->document()->lastBlock().text(),
                 QStringLiteral("Update cancelled"));
        QTRY_COMPARE(closer.withTitle(QStringLiteral("Update")).size(), 1);
        const ModalBoxCloser::Box box = closer.withTitle(QStringLiteral("Update")).first();
        QCOMPARE(box.text, QStringLiteral("Update cancelled. Push \"Details\" to check reasons."));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QVERIFY(box.hasParent);

        QSignalSpy finished(engine, &UpdateEngine::updateFinished);
        start->click();
        QVERIFY(!start->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QCOMPARE(start->text(), QStringLiteral("Start Kestrune"));
        QVERIFY(start->isEnabled());
        QCOMPARE(bar->value(), 1000);
        QCOMPARE(visibleFigures(window), QStringList());
        QVERIFY(logText(window).contains(QLatin1String("Update successfully finished")));
        QCOMPARE(ReleaseFixtures::contentDifference(installation.dir.path(), releaseDir,
                                                   {QStringLiteral("mirrors.ini"), QStringLiteral("update.ini")}),
                 QString());
        QCOMPARE(closer.boxes.size(), 1);

        // The client starts and the window closes.
        start->click();
        QVERIFY(!window.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(installation.dir.filePath(QStringLiteral("client-started"))), 10000);
    }

    // Closing during a run asks once; after Yes the window stays until the
    // cancel has completed, then the application quits, without the
    // "Update cancelled" box.
    void closeDuringRun()
    {
        Installation installation(server->baseUrl());
        TestWindow window(installation.configuration);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* engine = window.findChild<UpdateEngine*>();

        // An interrupted run left the manifest in its temporary directory;
        // checking it again waits until the test feeds the pipe put in its
        // place, and with it the cancel.
        const QString tempDir = QDir::temp().filePath(QStringLiteral("kestrune_temp_900"));
        const QString manifest = tempDir + QStringLiteral("/client_linux_x86.ini");
        QVERIFY(FileFixtures::makeFifo(manifest));
        QVERIFY(QFile::copy(mirrorRoot + QStringLiteral("/3/client_linux_x86.ini.sig"), manifest + QStringLiteral(".sig")));
        UpdateIniData::modify(ReleaseVersion, tempDir, QStringLiteral("client_linux_x86"));
        const auto release = qScopeGuard([&] { FileFixtures::releaseFifo(manifest); });

        child<QPushButton>(window, "startButton")->click();
        QTRY_VERIFY(logText(window).contains(QLatin1String("Download / check product ini")));
        QTest::qWait(100);

        ModalBoxCloser closer(QMessageBox::Yes);
        bool busyAfterYes = false;
        bool visibleAfterSecondClose = false;
        int boxesAfterSecondClose = -1;
        QTimer::singleShot(0, &window, [&] {
            window.close();
            busyAfterYes = engine->busy();
            window.close();
            visibleAfterSecondClose = window.isVisible();
            boxesAfterSecondClose = int(closer.boxes.size());
            FileFixtures::feedFifo(manifest, FileFixtures::readFile(mirrorRoot + QStringLiteral("/3/client_linux_x86.ini")));
        });
        QTimer::singleShot(30000, [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);

        QVERIFY(busyAfterYes);
        QVERIFY(visibleAfterSecondClose);
        QCOMPARE(boxesAfterSecondClose, 1);
        QCOMPARE(closer.boxes.size(), 1);
        const ModalBoxCloser::Box question = closer.boxes.first();
        QCOMPARE(question.title, QStringLiteral("Question"));
        QCOMPARE(question.text, QStringLiteral("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
        QCOMPARE(question.icon, QMessageBox::Question);
        QVERIFY(!engine->busy());
        QVERIFY(logText(window).contains(QLatin1String("User aborted update")));
        QVERIFY(!logText(window).contains(QLatin1String("Update cancelled")));
    }

    // No: the run goes on to its end. Without a run the window closes at once.
    void closeAnsweredNo()
    {
        Installation installation(server->baseUrl());
        TestWindow window(installation.configuration);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* engine = window.findChild<UpdateEngine*>();
        QSignalSpy finished(engine, &UpdateEngine::updateFinished);

        ModalBoxCloser closer(QMessageBox::No);
        server->setRule(libraryPath, HttpTestRule::stallBeforeHeaders(
                                         FileFixtures::readFile(mirrorRoot + QStringLiteral("/3/files/lib/libkr3.so"))));
        child<QPushButton>(window, "startButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(server->stalledCount(), 1, 20000);
        window.close();
        QCOMPARE(closer.boxes.size(), 1);
        QCOMPARE(closer.boxes.first().title, QStringLiteral("Question"));
        QVERIFY(window.isVisible());
        QVERIFY(engine->busy());
        server->resumeStalled();
        server->removeRule(libraryPath);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);

        window.close();
        QVERIFY(!window.isVisible());
        QCOMPARE(closer.boxes.size(), 1);
    }

    // The run ends while the question is open: after Yes there is nothing
    // to cancel, and the window closes.
    void runEndsWhileAsking()
    {
        Installation installation(server->baseUrl());
        TestWindow window(installation.configuration);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* engine = window.findChild<UpdateEngine*>();
        QSignalSpy finished(engine, &UpdateEngine::updateFinished);

        server->setRule(libraryPath, HttpTestRule::stallBeforeHeaders(
                                         FileFixtures::readFile(mirrorRoot + QStringLiteral("/3/files/lib/libkr3.so"))));
        child<QPushButton>(window, "startButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(server->stalledCount(), 1, 20000);

        // Lets the run go on once the question is up, and answers Yes when
        // it has finished. Any other box is closed and counted.
        int questions = 0;
        QStringList otherBoxes;
        QTimer answer;
        connect(&answer, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            if (!box->button(QMessageBox::Yes)) {
                otherBoxes.append(box->text());
                box->done(0);
                return;
            }
            if (questions++ == 0)
                server->resumeStalled();
            if (!engine->busy())
                box->button(QMessageBox::Yes)->click();
        });
        answer.start(10);
        window.close();
        server->removeRule(libraryPath);

        QCOMPARE(finished.size(), 1);
        QTRY_VERIFY(!window.isVisible());
        answer.stop();
        QCOMPARE(otherBoxes, QStringList());
    }

    void errorBoxes_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("exitCode"); // -1: the event loop goes on
        QTest::addColumn<bool>("hasParent");
        QTest::addColumn<bool>("logged");

        QTest::newRow("engine error") << "error" << -1 << true << true;
        QTest::newRow("engine fatal error") << "fatalError" << 2 << true << false;
        QTest::newRow("configuration fatal error") << "configuration" << 1 << false << false;
    }

    // Error boxes show the text as it is (also text that looks like markup)
    // under the title "Error"; fatal errors end the event loop.
    void errorBoxes()
    {
        QFETCH(QString, source);
        QFETCH(int, exitCode);
        QFETCH(bool, hasParent);
        QFETCH(bool, logged);

        Installation installation(server->baseUrl());
        TestWindow window(installation.configuration);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* engine = window.findChild<UpdateEngine*>();
        const QString text = QStringLiteral("<b>Failed</b> for data/x.pak\nsecond line");

        ModalBoxCloser closer;
        QTimer::singleShot(0, &window, [&] {
            if (source == QLatin1String("error"))
                emit engine->error(text);
            else if (source == QLatin1String("fatalError"))
                emit engine->fatalError(text);
            else
                emit installation.configuration.fatalError(text);
        });
        QTimer::singleShot(exitCode < 0 ? 300 : 10000, [] { QCoreApplication::exit(-1); });
        QCOMPARE(QCoreApplication::exec(), exitCode);

        QCOMPARE(closer.boxes.size(), 1);
        const ModalBoxCloser::Box box = closer.boxes.first();
        QCOMPARE(box.title, QStringLiteral("Error"));
        QCOMPARE(box.text, text);
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.hasParent, hasParent);
        QCOMPARE(box.format, Qt::PlainText);
        QCOMPARE(logText(window).contains(text), logged);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
