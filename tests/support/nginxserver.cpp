#include "nginxserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>

namespace {

constexpr int StartAttempts = 5;
constexpr int StartTimeoutMs = 5000;
constexpr int StopTimeoutMs = 5000;

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QString readText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace

QString NginxServer::binaryPath()
{
    return QStringLiteral("/usr/sbin/nginx");
}

bool NginxServer::isAvailable()
{
    return QFileInfo(binaryPath()).isExecutable();
}

NginxServer::NginxServer(const QString& rootDirectory)
    : root(QDir(rootDirectory).absolutePath())
{
    // nginx ends with the test process even if the test dies before stop().
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
}

NginxServer::~NginxServer()
{
    stop();
}

qint64 NginxServer::pid() const
{
    return process.processId();
}

bool NginxServer::isRunning() const
{
    return process.state() == QProcess::Running;
}

QString NginxServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(serverPort);
}

QUrl NginxServer::url(const QString& path) const
{
    return QUrl(baseUrl() + path);
}

void NginxServer::setRateLimit(const QString& path, int bytesPerSecond)
{
    // limit_rate_after 0: from the first byte on, also for small bodies.
    locations += QStringLiteral("        location = %1 { limit_rate %2; limit_rate_after 0; }\n")
                     .arg(path)
                     .arg(bytesPerSecond);
}

bool NginxServer::start()
{
    if (isRunning())
        return true;
    if (!isAvailable()) {
        lastError = QStringLiteral("%1 is not installed").arg(binaryPath());
        return false;
    }
    if (!prefix.isValid()) {
        lastError = QStringLiteral("cannot create a temporary directory");
        return false;
    }
    // The free port is only probed, so another process may take it first:
    // try a few ports.
    for (int attempt = 0; attempt < StartAttempts; ++attempt) {
        const quint16 candidate = freeLoopbackPort();
        if (candidate != 0 && startOnce(candidate))
            return true;
    }
    return false;
}

bool NginxServer::startOnce(quint16 candidatePort)
{
    const QString dir = prefix.path();
    QDir().mkpath(dir + QStringLiteral("/logs"));
    QDir().mkpath(dir + QStringLiteral("/temp"));
    QFile::remove(dir + QStringLiteral("/logs/access.log"));
    QFile::remove(dir + QStringLiteral("/logs/error.log"));

    const QString config = QStringLiteral(
        "daemon off;\n"
        "master_process off;\n"
        "worker_processes 1;\n"
        "pid %1/nginx.pid;\n"
        "error_log %1/logs/error.log info;\n"
        "events { worker_connections 128; }\n"
        "http {\n"
        "    default_type application/octet-stream;\n"
        "    types { }\n"
        "    sendfile on;\n"
        "    keepalive_timeout 30s;\n"
        "    log_format kr3 '$request_method $request_uri $status $body_bytes_sent';\n"
        "    access_log %1/logs/access.log kr3;\n"
        "    client_body_temp_path %1/temp/body;\n"
        "    proxy_temp_path %1/temp/proxy;\n"
        "    fastcgi_temp_path %1/temp/fastcgi;\n"
        "    uwsgi_temp_path %1/temp/uwsgi;\n"
        "    scgi_temp_path %1/temp/scgi;\n"
        "    server {\n"
        "        listen 127.0.0.1:%2;\n"
        "        server_name localhost;\n"
        "        root %3;\n"
        "        location / { }\n"
        "%4"
        "    }\n"
        "}\n")
                               .arg(dir)
                               .arg(candidatePort)
                               .arg(root, locations);
    QFile configFile(dir + QStringLiteral("/nginx.conf"));
    if (!configFile.open(QIODevice::WriteOnly | QIODevice::Truncate) || configFile.write(config.toUtf8()) < 0) {
        lastError = QStringLiteral("cannot write %1").arg(configFile.fileName());
        return false;
    }
    configFile.close();

    process.setStandardOutputFile(dir + QStringLiteral("/logs/output.log"));
    process.start(binaryPath(),
        { QStringLiteral("-p"), dir + QLatin1Char('/'), QStringLiteral("-c"), configFile.fileName(),
            QStringLiteral("-e"), dir + QStringLiteral("/logs/error.log") });
    if (!process.waitForStarted(StartTimeoutMs)) {
        lastError = process.errorString();
        return false;
    }

    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        if (process.state() != QProcess::Running)
            break;
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, candidatePort);
        if (probe.waitForConnected(200)) {
            probe.disconnectFromHost();
            serverPort = candidatePort;
            return true;
        }
        QThread::msleep(20);
    }
    lastError = QStringLiteral("nginx did not start: %1 %2")
                    .arg(readText(dir + QStringLiteral("/logs/output.log")), errorLog());
    stop();
    return false;
}

void NginxServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate(); // SIGTERM to the pid: fast shutdown
    if (!process.waitForFinished(StopTimeoutMs)) {
        process.kill();
        process.waitForFinished(StopTimeoutMs);
    }
}

QStringList NginxServer::accessLogLines() const
{
    return readText(prefix.path() + QStringLiteral("/logs/access.log")).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int NginxServer::requestCount(const QString& path) const
{
    int count = 0;
    for (const QString& line : accessLogLines()) {
        QString uri = line.section(QLatin1Char(' '), 1, 1);
        const qsizetype query = uri.indexOf(QLatin1Char('?'));
        if (query >= 0)
            uri.truncate(query);
        if (QUrl::fromPercentEncoding(uri.toLatin1()) == path)
            ++count;
    }
    return count;
}

bool NginxServer::waitForRequestCount(const QString& path, int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (requestCount(path) < count) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

QString NginxServer::errorLog() const
{
    return readText(prefix.path() + QStringLiteral("/logs/error.log"));
}
