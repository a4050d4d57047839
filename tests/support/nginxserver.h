#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

// Skips the calling test function when nginx is not installed.
#define KR3_SKIP_WITHOUT_NGINX()                                            \
    do {                                                                    \
        if (!NginxServer::isAvailable())                                    \
            QSKIP("nginx is not installed (" "/usr/sbin/nginx" ")");        \
    } while (false)

// A real nginx serving one directory on a free loopback port, for end-to-end
// tests. Prefix, configuration, pid file, error and access log live in a
// private temporary directory; the server runs in the foreground as a child
// of the test (it also dies with the test process) and is stopped by its pid.
// The access log has one line per request: method, request URI, status and
// body bytes sent, separated by single spaces.
class NginxServer
{
public:
    static QString binaryPath();
    static bool isAvailable();

    explicit NginxServer(const QString& rootDirectory);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // Serves one path (exact, as requested) at no more than bytesPerSecond,
    // so that a test can catch its transfer in the middle. Set before start().
    void setRateLimit(const QString& path, int bytesPerSecond);

    // Starts nginx and waits (bounded) until it accepts connections.
    // On failure errorString() says why.
    bool start();
    // Stops nginx by its pid (SIGTERM, then SIGKILL after a bounded wait).
    void stop();
    bool isRunning() const;

    quint16 port() const { return serverPort; }
    qint64 pid() const;
    // "http://127.0.0.1:<port>"
    QString baseUrl() const;
    QUrl url(const QString& path) const;
    QString errorString() const { return lastError; }
    QString prefixPath() const { return prefix.path(); }

    QStringList accessLogLines() const;
    // Requests logged for this (percent-decoded) path, query ignored.
    int requestCount(const QString& path) const;
    // Waits, bounded, until the access log holds at least 'count' requests
    // for the path; nginx writes a line after the response.
    bool waitForRequestCount(const QString& path, int count, int timeoutMs = 5000) const;
    QString errorLog() const;

private:
    bool startOnce(quint16 candidatePort);

    QString root;
    QString locations; // extra location blocks of the server
    QTemporaryDir prefix;
    QProcess process;
    quint16 serverPort = 0;
    QString lastError;
};
