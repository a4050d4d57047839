#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

enum UpdateChannel : qint32 {
    StableChannel = 0,
    BetaChannel = 1,
    AlphaChannel = 2,
};

// Start parameters of one updater process and the fixed facts about the
// installation. Problems are reported through fatalError().
class Configuration : public QObject
{
    Q_OBJECT

public:
    enum StartMode : qint32 {
        StartModeNone = 0,
        StartModeInteractive = 1,
        StartModeNoUser = 2,
    };

    explicit Configuration(QObject* parent = nullptr);

    StartMode startMode = StartModeNone;
    UpdateChannel updateChannel = StableChannel;
    QString updateType;
    qint32 clientVersion = 0;
    QString tempDir;
    QString proxy;
    qint32 downloadConcurrency = 6;

    // The installation directory: the directory of the running executable,
    // without a trailing "/".
    static QString getAppRootPath();
    // Tests point the installation directory elsewhere; an empty path
    // restores the executable's directory.
    static void setAppRootPath(const QString& path);

    static QString getUpdateType();
    static QString getClientBinaryName();
    static QStringList getSpecialFileNames();
    static const QString& getSpecialFileRenamePrefix();

    bool isSpecialFileName(const QString& fileName) const;

    // Reads QCoreApplication::arguments().
    bool parseCommandLineOptions();
    bool parseCommandLineOptions(const QStringList& arguments);

    void getUpdateChannel();
    bool getDefaultParameters();
    QString getLatestClientVersion(UpdateChannel channel);
    bool getClientTypeVersion(const QStringList& arguments, int index);
    bool getClientVersionFromString(const QString& text, const QString& errorTemplate);
    void getProxyAndDownloadConcurrency();
    bool createTempDir();
    bool initalizeStart(const QString& previousTempDir);

    // Where the version query goes and how long it waits for the reply: the
    // update server, port 17384 and 5 s unless a test points it at a local
    // responder.
    QByteArray versionServerHost;
    quint16 versionServerPort;
    int versionQueryTimeoutMs;

signals:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    QString settingsFilePath() const;
};
