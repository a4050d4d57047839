#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>

class QTcpServer;
class QTcpSocket;

// How the test server answers one request. The fields combine: any status
// with any body, the body from memory or streamed from a file, announced
// by Content-Length, by nothing (ended by closing) or sent chunked, and
// delivered whole, in trickles, cut short or stalled. Build one with the
// named helpers below and adjust fields as needed.
struct HttpTestRule
{
    enum class Framing {
        ContentLength, // Content-Length announced, connection kept alive
        CloseDelimited, // no length; the body ends when the server closes
        Chunked, // Transfer-Encoding: chunked
    };
    enum class Stall {
        None,
        BeforeHeaders, // read the request, send nothing
        AfterHeaders, // send the headers and stallAfterBytes of the body, then nothing
    };

    int status = 200;
    QByteArray body;
    // When set, the body is streamed from this file instead of 'body'.
    QString bodyFile;
    // Extra response headers (Location, WWW-Authenticate, ...).
    QList<QPair<QByteArray, QByteArray>> headers;
    Framing framing = Framing::ContentLength;
    // Content-Length to announce; -1 announces the real size.
    qint64 announcedLength = -1;
    // Send only this many body bytes, then close the connection; -1 sends
    // all. With a length announced (or chunked) the client sees a cut body.
    qint64 cutAfterBytes = -1;
    Stall stall = Stall::None;
    qint64 stallAfterBytes = 0;
    // Send at most trickleBytes every trickleIntervalMs; 0 sends at once.
    int trickleBytes = 0;
    int trickleIntervalMs = 0;
    // Flip every bit of the first body byte: same size, wrong content.
    bool corrupt = false;

    static HttpTestRule ok(const QByteArray& body);
    static HttpTestRule file(const QString& path);
    static HttpTestRule statusCode(int status, const QByteArray& body = QByteArray());
    static HttpTestRule redirect(const QByteArray& location, int status = 302);
    static HttpTestRule authRequired(const QByteArray& realm = "kr3");
    static HttpTestRule stallBeforeHeaders(const QByteArray& body = QByteArray());
    static HttpTestRule stallAfterHeaders(const QByteArray& body, qint64 bytesFirst = 0);
    static HttpTestRule trickle(const QByteArray& body, int bytesPerInterval, int intervalMs);
    static HttpTestRule cutShort(const QByteArray& body, qint64 bytesSent);
    // 'body' with its first byte changed: right size, wrong content.
    static HttpTestRule corrupted(const QByteArray& body);
};

Q_DECLARE_METATYPE(HttpTestRule)

// One request as the server received it.
struct HttpTestRequest
{
    QByteArray method;
    QString path; // percent-decoded, without query
    QByteArray target; // as sent on the request line
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case

    QByteArray header(const QByteArray& lowerCaseName) const;
};

// A fault-injecting HTTP/1.1 server on a free loopback port, for tests.
// Requests are answered by the rule set for their path (a list of rules
// applies one per request in turn, the last repeating), else from the root
// directory if one is set, else by the default rule (404). Every request
// is counted per path and logged in order. Connections are kept alive as
// HTTP/1.1 clients expect. Stalled responses wait until resumeStalled(),
// until the client goes away, or at most maxStallMs (30 s unless set).
//
//   HttpTestServer server; // already listening
//   server.setRule("/7/a.bin", HttpTestRule::ok(bytes));
//   server.setRules("/7/b.bin", { HttpTestRule::statusCode(500), HttpTestRule::ok(bytes) });
//   manager.get(QNetworkRequest(server.url("/7/a.bin")));
//   QCOMPARE(server.requestCount("/7/b.bin"), 2);
class HttpTestServer : public QObject
{
    Q_OBJECT

public:
    explicit HttpTestServer(QObject* parent = nullptr);
    ~HttpTestServer() override;

    bool isListening() const;
    quint16 port() const;
    // "http://127.0.0.1:<port>"
    QString baseUrl() const;
    // baseUrl() + path; path starts with "/".
    QUrl url(const QString& path) const;

    // Paths are percent-decoded and start with "/", without query.
    void setRule(const QString& path, const HttpTestRule& rule);
    void setRules(const QString& path, const QList<HttpTestRule>& sequence);
    void removeRule(const QString& path);
    void setDefaultRule(const HttpTestRule& rule);
    // Serves files below this directory (streamed) for paths without a rule.
    void setRootDirectory(const QString& directory);
    void setMaxStallMs(int ms);

    int requestCount(const QString& path) const;
    int totalRequestCount() const;
    // Paths in the order the requests arrived.
    QStringList requestLog() const;
    QList<HttpTestRequest> requests() const;
    void clearLog();

    // Number of responses currently stalled.
    int stalledCount() const;
    // Continues the stalled responses (of one path, or all for an empty
    // path) as if they had never stalled.
    void resumeStalled(const QString& path = QString());
    // Drops every open connection at once.
    void closeAllConnections();

signals:
    void requestReceived(const QString& path);
    // A response was sent completely (also when cut short on purpose).
    void responseSent(const QString& path);

private:
    struct Connection;

    void onNewConnection();
    void processInput(Connection* c);
    void startResponse(Connection* c, const HttpTestRequest& request);
    void sendHead(Connection* c);
    void pump(Connection* c);
    void finishResponse(Connection* c);
    void dropConnection(Connection* c);
    HttpTestRule ruleFor(const QString& path, int index) const;

    QTcpServer* server = nullptr;
    QHash<QString, QList<HttpTestRule>> rules;
    HttpTestRule defaultRule;
    QString rootDirectory;
    int maxStallMs = 30000;
    QHash<QString, int> counts;
    QList<HttpTestRequest> log;
    QList<Connection*> connections;
};
