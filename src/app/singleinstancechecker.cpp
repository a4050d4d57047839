#include "app/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace {
constexpr int ConnectTimeoutMs = 1000;
constexpr int WriteTimeoutMs = 1000;
}

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    const QString name = getLocalServerName();
    // The start-up has just found that no updater answers under this name,
    // so a socket left there belongs to one that crashed. Left in place it
    // would keep us from listening, and the next start would run a second
    // updater on the same installation.
    QLocalServer::removeServer(name);
    server->listen(name);
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    server->close();
    if (connection)
        connection->close();
}

QString SingleInstanceChecker::getLocalServerName()
{
    return getLocalServerName(QCoreApplication::applicationFilePath(), QDir::homePath());
}

QString SingleInstanceChecker::getLocalServerName(const QString& executablePath, const QString& homePath)
{
    QString key = executablePath.toLower() + homePath;
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const quint16 checksum = qChecksum(QByteArrayView(key.toUtf8()), Qt::ChecksumIso3309);
    return QStringLiteral("KR3ClientUpdate") + QString::number(checksum, 16);
}

bool SingleInstanceChecker::checkExistingInstance(const QString& message)
{
    QLocalSocket socket;
    socket.connectToServer(getLocalServerName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(ConnectTimeoutMs))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(WriteTimeoutMs);
}

void SingleInstanceChecker::onNewConnection()
{
    // One caller at a time: a new one replaces the one still being served.
    dropConnection();
    connection = server->nextPendingConnection();
    if (connection)
        connect(connection, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!connection)
        return;
    // Only the first read of a connection counts, up to a zero byte.
    QByteArray bytes = connection->readAll();
    const qsizetype end = bytes.indexOf('\0');
    if (end >= 0)
        bytes.truncate(end);
    const QString message = QString::fromLatin1(bytes);
    dropConnection();
    emit otherInstanceActivate(message);
}

void SingleInstanceChecker::dropConnection()
{
    if (!connection)
        return;
    disconnect(connection, nullptr, this, nullptr);
    connection->close();
    // Possibly inside the socket's own signal: delete it later.
    connection->deleteLater();
    connection = nullptr;
}
