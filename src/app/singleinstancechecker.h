#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user: a starting updater hands
// a running one a message over a local socket and ends; the running one
// reports each message it receives.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstanceChecker(QObject* parent = nullptr);
    ~SingleInstanceChecker() override;

    // The local server name of this executable and user.
    static QString getLocalServerName();
    // The name for a given executable path and home directory.
    static QString getLocalServerName(const QString& executablePath, const QString& homePath);

    // Hands the message to a running updater; true when one was reached and
    // the message written. Blocks for at most about two seconds.
    static bool checkExistingInstance(const QString& message);

signals:
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    void dropConnection();

    QLocalServer* server;
    QLocalSocket* connection = nullptr;
};
