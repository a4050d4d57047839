// Takes the README's screenshots of the updater window: before and after a
// real update of an installation (whose update.ini names the mirror and the
// version), run in this process on whatever Qt platform is set (offscreen
// for the script). The banner service is not reachable there, so a sample
// banner is handed to the window the way the engine hands over a real one.
//
//   kr3-screenshots INSTALLATION OUTPUT_DIR

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QEventLoop>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>

#include <functional>

#include "app/configuration.h"
#include "app/updateengine.h"
#include "ui/mainwindow.h"

namespace {

QByteArray sampleBanner()
{
    QImage image(468, 60, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 468, 60);
    gradient.setColorAt(0, QColor(22, 64, 122));
    gradient.setColorAt(1, QColor(54, 132, 196));
    painter.fillRect(image.rect(), gradient);
    painter.setPen(QColor(238, 170, 52));
    QFont title = painter.font();
    title.setPixelSize(22);
    title.setBold(true);
    painter.setFont(title);
    painter.drawText(QRect(16, 4, 440, 30), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Kestrune 3: Northern Reaches"));
    QFont line = painter.font();
    line.setPixelSize(13);
    line.setBold(false);
    painter.setFont(line);
    painter.setPen(Qt::white);
    painter.drawText(QRect(16, 32, 440, 22), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("New maps and a new soundtrack, out now"));
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Runs the event loop until the condition holds or the time is up.
bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start(20);
    if (!condition())
        loop.exec();
    return condition();
}

bool save(QWidget& window, const QString& path)
{
    if (!window.grab().save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << "\n";
        return false;
    }
    QTextStream(stdout) << "wrote " << path << "\n";
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 3) {
        QTextStream(stderr) << "usage: kr3-screenshots INSTALLATION OUTPUT_DIR\n";
        return 2;
    }
    const QString outputDir = QDir(arguments.at(2)).absolutePath();
    QDir().mkpath(outputDir);
    Configuration::setAppRootPath(QDir(arguments.at(1)).absolutePath());

    Configuration configuration;
    MainWindow window(configuration);
    if (!configuration.parseCommandLineOptions({QStringLiteral("update")}))
        return 1;
    window.setUIToConfigSpecs();
    window.show();

    auto* engine = window.findChild<UpdateEngine*>();
    bool finished = false;
    bool canceled = false;
    QObject::connect(engine, &UpdateEngine::updateFinished, [&] { finished = true; });
    QObject::connect(engine, &UpdateEngine::updateCanceled, [&] { canceled = true; });
    emit engine->bannerFound(sampleBanner(), MainWindow::WebSiteUrl);

    waitFor([] { return false; }, 300); // laid out and painted
    if (!save(window, outputDir + QStringLiteral("/window-before.png")))
        return 1;

    QMetaObject::invokeMethod(&window, "onAutoStartUpdate");
    if (!waitFor([&] { return finished || canceled; }, 120000) || !finished) {
        QTextStream(stderr) << "the update did not finish\n";
        return 1;
    }
    window.findChild<QPushButton*>(QStringLiteral("detailsButton"))->click();
    waitFor([] { return false; }, 300);
    if (!save(window, outputDir + QStringLiteral("/window-after.png")))
        return 1;
    return 0;
}
