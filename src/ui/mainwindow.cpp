#include "ui/mainwindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>

#include "app/configuration.h"
#include "app/log.h"
#include "app/processtools.h"
#include "app/singleinstancechecker.h"
#include "app/updateengine.h"

const QString MainWindow::WebSiteUrl = QStringLiteral("https://www.kestrune.example/");

namespace {

// Exit codes of the event loop after a fatal error.
constexpr int ConfigErrorExitCode = 1;
constexpr int EngineErrorExitCode = 2;

// The error texts carry file names and addresses from the network and the
// manifest: show them as they are, never as markup.
void showErrorBox(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::Critical, QObject::tr("Error"), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

// Ends the event loop with the exit code. Before the loop runs there is
// nothing to end (start-up then returns the code itself); asking anyway
// would make every later local loop, such as a message box, return at once.
void endEventLoop(int exitCode)
{
    if (QThread::currentThread()->loopLevel() > 0)
        QCoreApplication::exit(exitCode);
}

} // namespace

MainWindow::MainWindow(Configuration& configuration, const QString& bannerHost, quint16 bannerPort)
    : QWidget(nullptr)
    , configuration(&configuration)
    , engine(new UpdateEngine(configuration, this))
{
    connect(engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    setupUi(this);

    progressTimer.setSingleShot(true);
    connect(&progressTimer, &QTimer::timeout, this, &MainWindow::showProgress);
    logTimer.setSingleShot(true);
    logTimer.setInterval(LogFlushIntervalMs);
    connect(&logTimer, &QTimer::timeout, this, &MainWindow::flushLog);

    // Queued: the log is shown by the button's toggled() first and laid out
    // before it is scrolled.
    connect(detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed, Qt::QueuedConnection);

    kestruneLabel->setUrl(WebSiteUrl);
    outputTextEdit->hide();
    onDownloadProgress(0, 0, 0, false);

    auto* instanceGuard = new SingleInstanceChecker(this);
    connect(instanceGuard, &SingleInstanceChecker::otherInstanceActivate, this, &MainWindow::onOtherInstanceActivate);

    connect(&configuration, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);

    engine->getBanner(bannerHost, bannerPort);
}

MainWindow::~MainWindow() = default;

void MainWindow::setUIToConfigSpecs()
{
    switch (configuration->updateChannel) {
    case BetaChannel:
        versionLabel->setText(tr("Beta channel"));
        break;
    case AlphaChannel:
        versionLabel->setText(tr("Alpha channel (%1)").arg(configuration->clientVersion));
        break;
    case StableChannel:
        break;
    }
}

void MainWindow::on_startButton_clicked()
{
    if (updateDone) {
        ProcessTools::startKr3Client();
        close();
        return;
    }
    // A failed initialisation has been reported through a fatal error.
    if (!engine->busy() && engine->initialize()) {
        startButton->setEnabled(false);
        engine->startUpdate();
    }
}

void MainWindow::onAutoStartUpdate()
{
    startButton->click();
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    // Progress comes with every chunk of every transfer; the bar is redrawn
    // at most every ProgressRepaintIntervalMs with the newest value.
    pendingProgress = int(doneFrac * totalProgressBar->maximum());
    if (progressTimer.isActive())
        return;
    if (!progressClock.isValid() || progressClock.elapsed() >= ProgressRepaintIntervalMs)
        showProgress();
    else
        progressTimer.start(int(ProgressRepaintIntervalMs - progressClock.elapsed()));
}

void MainWindow::showProgress()
{
    progressTimer.stop();
    totalProgressBar->setValue(pendingProgress);
    progressClock.start();
}

void MainWindow::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading)
{
    // Without a transfer the figures are hidden and keep their last texts.
    totalSizeLabel->setVisible(downloading);
    label_6->setVisible(downloading);
    totalTotalSizeLabel->setVisible(downloading);
    downloadSpeedLabel->setVisible(downloading);
    if (!downloading)
        return;
    // Thousands of bytes, truncated.
    totalSizeLabel->setText(tr("%1 KB").arg(downloadDone / 1000));
    totalTotalSizeLabel->setText(tr("%1 KB").arg(downloadTotal / 1000));
    downloadSpeedLabel->setText(tr("%1 KB/s").arg(speed / 1000));
}

void MainWindow::onAppendText(QString text)
{
    pendingLog.append(text);
    if (!logTimer.isActive())
        logTimer.start();
}

void MainWindow::flushLog()
{
    logTimer.stop();
    if (pendingLog.isEmpty())
        return;
    // New paragraphs of plain text: the lines name files of the manifest,
    // which must not turn into markup. A log scrolled to its end follows
    // the new lines.
    QScrollBar* const scrollBar = outputTextEdit->verticalScrollBar();
    const bool atEnd = scrollBar->value() >= scrollBar->maximum();
    QTextCursor cursor(outputTextEdit->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    bool first = outputTextEdit->document()->isEmpty();
    for (const QString& line : std::as_const(pendingLog)) {
        if (!first)
            cursor.insertBlock();
        first = false;
        cursor.insertText(line);
    }
    cursor.endEditBlock();
    pendingLog.clear();
    if (atEnd)
        scrollBar->setValue(scrollBar->maximum());
}

void MainWindow::onDetailsPressed()
{
    flushLog();
    if (outputTextEdit->isVisible())
        outputTextEdit->verticalScrollBar()->setValue(outputTextEdit->verticalScrollBar()->maximum());
}

void MainWindow::onUpdateFinished()
{
    flushLog();
    showProgress();
    updateDone = true;
    startButton->setText(tr("Start Kestrune"));
    startButton->setEnabled(true);
}

void MainWindow::onUpdateCanceled()
{
    flushLog();
    if (quitOnCancel) {
        QCoreApplication::quit();
        return;
    }
    updateDone = false;
    engine->reset();
    startButton->setText(tr("Restart"));
    startButton->setEnabled(true);
    const QString cancelled = tr("Update cancelled");
    Log::line(cancelled);
    onAppendText(cancelled);
    flushLog();
    progressTimer.stop();
    pendingProgress = 0;
    totalProgressBar->setValue(0);
    // The box runs its own event loop: open it once the engine's signal has
    // returned, not while the task tree that ended is still on the stack.
    QMetaObject::invokeMethod(
        this,
        [this] { QMessageBox::critical(this, tr("Update"), tr("Update cancelled. Push \"Details\" to check reasons.")); },
        Qt::QueuedConnection);
}

void MainWindow::onError(QString errorMessage)
{
    // The run goes on (or ends) as its tasks decide.
    onAppendText(errorMessage);
    flushLog();
    showErrorBox(this, errorMessage);
}

void MainWindow::onFatalError(QString errorMessage)
{
    showErrorBox(this, errorMessage);
    endEventLoop(EngineErrorExitCode);
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    // Possibly before the window is shown: the box stands on its own.
    showErrorBox(nullptr, errorMessage);
    endEventLoop(ConfigErrorExitCode);
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    qCDebug(lcUpdate) << "Another start of the updater: coming to the front";
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(QByteArray bannerImage, QString clickUrl)
{
    QPixmap pixmap;
    if (!pixmap.loadFromData(bannerImage))
        return;
    banner->setUrl(clickUrl);
    banner->setPixmap(pixmap.scaled(banner->maximumSize(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!engine->busy()) {
        event->accept();
        return;
    }
    event->ignore();
    // The cancel is under way; the application quits when it has completed.
    if (quitOnCancel)
        return;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    if (!engine->busy()) {
        // The run ended while we asked: nothing is left to cancel, so close
        // now (from the event loop; this close is still being handled).
        QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
        return;
    }
    quitOnCancel = true;
    engine->cancelUpdate();
}
