#include "httptestserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

constexpr qint64 WriteChunk = 16 * 1024;
constexpr qint64 MaxQueuedBytes = 64 * 1024;
constexpr qint64 MaxRequestHead = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

} // namespace

// ---- rules -----------------------------------------------------------------

HttpTestRule HttpTestRule::ok(const QByteArray& body)
{
    HttpTestRule rule;
    rule.body = body;
    return rule;
}

HttpTestRule HttpTestRule::file(const QString& path)
{
    HttpTestRule rule;
    rule.bodyFile = path;
    return rule;
}

HttpTestRule HttpTestRule::statusCode(int status, const QByteArray& body)
{
    HttpTestRule rule;
    rule.status = status;
    rule.body = body;
    return rule;
}

HttpTestRule HttpTestRule::redirect(const QByteArray& location, int status)
{
    HttpTestRule rule = statusCode(status, "moved\n");
    rule.headers.append({ "Location", location });
    return rule;
}

HttpTestRule HttpTestRule::authRequired(const QByteArray& realm)
{
    HttpTestRule rule = statusCode(401, "authentication required\n");
    rule.headers.append({ "WWW-Authenticate", "Basic realm=\"" + realm + "\"" });
    return rule;
}

HttpTestRule HttpTestRule::stallBeforeHeaders(const QByteArray& body)
{
    HttpTestRule rule = ok(body);
    rule.stall = Stall::BeforeHeaders;
    return rule;
}

HttpTestRule HttpTestRule::stallAfterHeaders(const QByteArray& body, qint64 bytesFirst)
{
    HttpTestRule rule = ok(body);
    rule.stall = Stall::AfterHeaders;
    rule.stallAfterBytes = bytesFirst;
    return rule;
}

HttpTestRule HttpTestRule::trickle(const QByteArray& body, int bytesPerInterval, int intervalMs)
{
    HttpTestRule rule = ok(body);
    rule.trickleBytes = bytesPerInterval;
    rule.trickleIntervalMs = intervalMs;
    return rule;
}

HttpTestRule HttpTestRule::cutShort(const QByteArray& body, qint64 bytesSent)
{
    HttpTestRule rule = ok(body);
    rule.cutAfterBytes = bytesSent;
    return rule;
}

HttpTestRule HttpTestRule::corrupted(const QByteArray& body)
{
    HttpTestRule rule = ok(body);
    rule.corrupt = true;
    return rule;
}

QByteArray HttpTestRequest::header(const QByteArray& lowerCaseName) const
{
    for (const auto& h : headers) {
        if (h.first == lowerCaseName)
            return h.second;
    }
    return QByteArray();
}

// ---- connections -----------------------------------------------------------

// One client connection and the response in progress on it. Owned by the
// server; its socket and timers are its children.
struct HttpTestServer::Connection : QObject
{
    explicit Connection(QObject* parent)
        : QObject(parent)
    {
    }

    QTcpSocket* socket = nullptr;
    QByteArray input;
    bool dead = false;
    bool closeWhenDone = false; // the client asked to close

    bool responding = false;
    HttpTestRule rule;
    QString path;
    std::unique_ptr<QFile> file;
    qint64 bodySize = 0;
    qint64 toSend = 0;
    qint64 sent = 0;
    qint64 stallAt = -1;
    qint64 trickleBudget = 0;
    bool headOnly = false;
    bool headSent = false;
    bool stalled = false;
    bool closeAfter = false;
    QTimer* trickleTimer = nullptr;
    QTimer* stallTimer = nullptr;
};

HttpTestServer::HttpTestServer(QObject* parent)
    : QObject(parent)
    , server(new QTcpServer(this))
{
    defaultRule = HttpTestRule::statusCode(404, "not found\n");
    connect(server, &QTcpServer::newConnection, this, &HttpTestServer::onNewConnection);
    server->listen(QHostAddress::LocalHost, 0);
}

HttpTestServer::~HttpTestServer()
{
    closeAllConnections();
    server->close();
}

bool HttpTestServer::isListening() const
{
    return server->isListening();
}

quint16 HttpTestServer::port() const
{
    return server->serverPort();
}

QString HttpTestServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

QUrl HttpTestServer::url(const QString& path) const
{
    return QUrl(baseUrl() + path);
}

void HttpTestServer::setRule(const QString& path, const HttpTestRule& rule)
{
    rules[path] = { rule };
}

void HttpTestServer::setRules(const QString& path, const QList<HttpTestRule>& sequence)
{
    if (sequence.isEmpty())
        rules.remove(path);
    else
        rules[path] = sequence;
}

void HttpTestServer::removeRule(const QString& path)
{
    rules.remove(path);
}

void HttpTestServer::setDefaultRule(const HttpTestRule& rule)
{
    defaultRule = rule;
}

void HttpTestServer::setRootDirectory(const QString& directory)
{
    rootDirectory = directory.isEmpty() ? QString() : QDir(directory).absolutePath();
}

void HttpTestServer::setMaxStallMs(int ms)
{
    maxStallMs = ms;
}

int HttpTestServer::requestCount(const QString& path) const
{
    return counts.value(path);
}

int HttpTestServer::totalRequestCount() const
{
    return log.size();
}

QStringList HttpTestServer::requestLog() const
{
    QStringList paths;
    for (const HttpTestRequest& r : log)
        paths.append(r.path);
    return paths;
}

QList<HttpTestRequest> HttpTestServer::requests() const
{
    return log;
}

void HttpTestServer::clearLog()
{
    log.clear();
    counts.clear();
}

int HttpTestServer::stalledCount() const
{
    return static_cast<int>(std::count_if(connections.cbegin(), connections.cend(),
        [](const Connection* c) { return c->responding && c->stalled; }));
}

void HttpTestServer::resumeStalled(const QString& path)
{
    const QList<Connection*> current = connections;
    for (Connection* c : current) {
        if (c->dead || !c->responding || !c->stalled || (!path.isEmpty() && c->path != path))
            continue;
        c->stalled = false;
        c->stallAt = -1;
        c->stallTimer->stop();
        if (!c->headSent)
            sendHead(c);
        if (c->rule.trickleBytes > 0)
            c->trickleTimer->start();
        pump(c);
    }
}

void HttpTestServer::closeAllConnections()
{
    const QList<Connection*> current = connections;
    for (Connection* c : current) {
        dropConnection(c);
        c->deleteLater();
    }
}

void HttpTestServer::onNewConnection()
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        auto* c = new Connection(this);
        socket->setParent(c);
        c->socket = socket;
        c->trickleTimer = new QTimer(c);
        c->stallTimer = new QTimer(c);
        c->stallTimer->setSingleShot(true);
        connections.append(c);

        connect(socket, &QTcpSocket::readyRead, c, [this, c] { processInput(c); });
        connect(socket, &QTcpSocket::bytesWritten, c, [this, c] { pump(c); });
        connect(socket, &QTcpSocket::disconnected, c, [this, c] {
            dropConnection(c);
            c->deleteLater();
        });
        connect(c->trickleTimer, &QTimer::timeout, c, [this, c] {
            c->trickleBudget = c->rule.trickleBytes;
            pump(c);
        });
        // A stall never outlives maxStallMs: the connection is dropped.
        connect(c->stallTimer, &QTimer::timeout, c, [this, c] {
            dropConnection(c);
            c->deleteLater();
        });
        processInput(c);
    }
}

void HttpTestServer::processInput(Connection* c)
{
    if (c->dead)
        return;
    c->input += c->socket->readAll();
    if (c->responding)
        return;

    const qsizetype end = c->input.indexOf("\r\n\r\n");
    if (end < 0) {
        if (c->input.size() > MaxRequestHead) {
            dropConnection(c);
            c->deleteLater();
        }
        return;
    }

    const QList<QByteArray> lines = c->input.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    HttpTestRequest request;
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    const QByteArray version = requestLine.value(2);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.append({ line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed() });
    }
    // A request body (not expected from the program) is skipped.
    const qint64 bodyLength = request.header("content-length").toLongLong();
    if (c->input.size() < end + 4 + bodyLength)
        return;
    c->input.remove(0, end + 4 + bodyLength);

    QByteArray target = request.target;
    if (target.startsWith("http://") || target.startsWith("https://")) {
        const qsizetype slash = target.indexOf('/', target.indexOf("//") + 2);
        target = slash < 0 ? QByteArray("/") : target.mid(slash);
    }
    const qsizetype query = target.indexOf('?');
    if (query >= 0)
        target.truncate(query);
    request.path = QUrl::fromPercentEncoding(target);

    c->closeWhenDone = version == "HTTP/1.0" || request.header("connection").toLower().contains("close");

    log.append(request);
    ++counts[request.path];
    emit requestReceived(request.path);
    if (!c->dead)
        startResponse(c, request);
}

HttpTestRule HttpTestServer::ruleFor(const QString& path, int index) const
{
    const auto found = rules.constFind(path);
    if (found != rules.constEnd())
        return found->at(std::min<qsizetype>(index, found->size() - 1));

    if (!rootDirectory.isEmpty()) {
        const QString local = QDir::cleanPath(rootDirectory + QLatin1Char('/') + path);
        if (local.startsWith(rootDirectory + QLatin1Char('/')) && QFileInfo(local).isFile())
            return HttpTestRule::file(local);
    }
    return defaultRule;
}

void HttpTestServer::startResponse(Connection* c, const HttpTestRequest& request)
{
    c->responding = true;
    c->path = request.path;
    c->rule = ruleFor(request.path, counts.value(request.path) - 1);
    c->headOnly = request.method == "HEAD";
    c->file.reset();
    c->sent = 0;
    c->headSent = false;
    c->stalled = false;
    c->trickleBudget = c->rule.trickleBytes;

    if (!c->rule.bodyFile.isEmpty()) {
        c->file = std::make_unique<QFile>(c->rule.bodyFile);
        if (!c->file->open(QIODevice::ReadOnly)) {
            c->file.reset();
            c->rule = defaultRule;
        }
    }
    c->bodySize = c->file ? c->file->size() : c->rule.body.size();
    c->toSend = c->headOnly ? 0 : c->bodySize;
    c->closeAfter = c->closeWhenDone || c->rule.framing == HttpTestRule::Framing::CloseDelimited;
    if (c->rule.cutAfterBytes >= 0 && c->rule.cutAfterBytes < c->toSend) {
        c->toSend = c->rule.cutAfterBytes;
        c->closeAfter = true;
    }
    // A length that does not match what is sent leaves the connection
    // unusable for a next request: close it after the body.
    if (c->rule.framing == HttpTestRule::Framing::ContentLength && c->rule.announcedLength >= 0 && !c->headOnly
        && c->rule.announcedLength != c->toSend)
        c->closeAfter = true;
    c->stallAt = c->rule.stall == HttpTestRule::Stall::AfterHeaders ? c->rule.stallAfterBytes : -1;

    c->trickleTimer->setInterval(std::max(1, c->rule.trickleIntervalMs));

    if (c->rule.stall == HttpTestRule::Stall::BeforeHeaders) {
        c->stalled = true;
        c->stallTimer->start(maxStallMs);
        return;
    }
    sendHead(c);
    if (c->rule.trickleBytes > 0)
        c->trickleTimer->start();
    pump(c);
}

void HttpTestServer::sendHead(Connection* c)
{
    const HttpTestRule& rule = c->rule;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(rule.status) + ' ' + reasonPhrase(rule.status) + "\r\n";
    switch (rule.framing) {
    case HttpTestRule::Framing::ContentLength:
        head += "Content-Length: "
            + QByteArray::number(rule.announcedLength >= 0 ? rule.announcedLength : c->bodySize) + "\r\n";
        break;
    case HttpTestRule::Framing::Chunked:
        head += "Transfer-Encoding: chunked\r\n";
        break;
    case HttpTestRule::Framing::CloseDelimited:
        break;
    }
    if (c->closeWhenDone || rule.framing == HttpTestRule::Framing::CloseDelimited)
        head += "Connection: close\r\n";
    head += "Content-Type: application/octet-stream\r\n";
    for (const auto& h : rule.headers)
        head += h.first + ": " + h.second + "\r\n";
    head += "\r\n";
    c->socket->write(head);
    c->headSent = true;
}

void HttpTestServer::pump(Connection* c)
{
    if (c->dead || !c->responding || c->stalled || !c->headSent)
        return;

    while (c->sent < c->toSend) {
        if (c->stallAt >= 0 && c->sent >= c->stallAt) {
            c->stalled = true;
            c->trickleTimer->stop();
            c->stallTimer->start(maxStallMs);
            return;
        }
        if (c->socket->bytesToWrite() >= MaxQueuedBytes)
            return; // continued from bytesWritten
        qint64 n = std::min(c->toSend - c->sent, WriteChunk);
        if (c->stallAt >= 0)
            n = std::min(n, c->stallAt - c->sent);
        if (c->rule.trickleBytes > 0) {
            if (c->trickleBudget <= 0)
                return; // continued by the trickle timer
            n = std::min(n, c->trickleBudget);
        }

        QByteArray chunk = c->file ? c->file->read(n) : c->rule.body.mid(c->sent, n);
        if (chunk.isEmpty()) {
            // The file shrank or cannot be read: end the body here.
            c->closeAfter = true;
            break;
        }
        if (c->rule.corrupt && c->sent == 0)
            chunk[0] = static_cast<char>(~chunk.at(0));
        if (c->rule.framing == HttpTestRule::Framing::Chunked)
            c->socket->write(QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n");
        else
            c->socket->write(chunk);
        c->sent += chunk.size();
        if (c->rule.trickleBytes > 0)
            c->trickleBudget -= chunk.size();
    }
    finishResponse(c);
}

void HttpTestServer::finishResponse(Connection* c)
{
    if (c->rule.framing == HttpTestRule::Framing::Chunked && !c->headOnly && c->sent == c->bodySize)
        c->socket->write("0\r\n\r\n");
    c->trickleTimer->stop();
    c->stallTimer->stop();
    c->file.reset();
    c->responding = false;
    const QString path = c->path;
    const bool close = c->closeAfter;

    emit responseSent(path);
    if (c->dead)
        return;
    if (close) {
        // Writes what is queued, then closes; 'disconnected' drops us.
        c->socket->disconnectFromHost();
        return;
    }
    if (!c->input.isEmpty())
        processInput(c);
}

void HttpTestServer::dropConnection(Connection* c)
{
    if (c->dead)
        return;
    c->dead = true;
    c->responding = false;
    c->trickleTimer->stop();
    c->stallTimer->stop();
    c->file.reset();
    QObject::disconnect(c->socket, nullptr, c, nullptr);
    c->socket->abort();
    connections.removeOne(c);
}
