#pragma once

#include <QByteArray>

#include "buildconfig.h"

// Asks the update server for the latest version of each release channel:
// one 2-byte request datagram, one reply datagram of up to three
// comma-separated fields (stable, beta, alpha). The query blocks the calling
// thread until the reply arrives or the receive timeout expires.
class UpdateChecker
{
public:
    static constexpr quint16 defaultPort = 17384;
    static constexpr int defaultReceiveTimeoutMs = 5000;

    explicit UpdateChecker(const QByteArray& host = QByteArray(BuildConfig::updateServerHost),
                           quint16 port = defaultPort,
                           int receiveTimeoutMs = defaultReceiveTimeoutMs);

    // True when a reply was received, whatever it held.
    bool checkUpdate();

    const QByteArray& getClientStableVersion() const { return stableVersion; }
    const QByteArray& getClientBetaVersion() const { return betaVersion; }
    const QByteArray& getClientAlphaVersion() const { return alphaVersion; }

private:
    bool readFromServer();

    QByteArray stableVersion;
    QByteArray betaVersion;
    QByteArray alphaVersion;

    QByteArray host;
    quint16 port;
    int receiveTimeoutMs;
};
