#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

// Helpers for tests that run whole updates: publish a release with the
// publisher's tool, describe the mirrors, lay out an installation.
namespace ReleaseFixtures {

struct PublishOptions
{
    QString type = QStringLiteral("client_linux_x86");
    int version = 1;
    QStringList gzipPatterns;
    QString previousRelease; // the preceding release as installed, if any
};

// Runs "kr3-publish release" (tool: its path, key: the private key file)
// for releaseDir into mirrorRoot. False with the tool's complaints in
// *errorText when it fails or takes longer than a minute.
bool publish(const QString& tool, const QString& key, const PublishOptions& options, const QString& releaseDir,
             const QString& mirrorRoot, QString* errorText = nullptr);

// Writes a mirrors.ini listing the mirrors (name, base URL) in this order.
bool writeMirrorsIni(const QString& path, const QList<QPair<QString, QString>>& mirrors);

// Copies a tree of plain files and directories, permissions included.
bool copyTree(const QString& from, const QString& to);

// Writes a client tree: relative path -> content, directories as needed.
bool writeTree(const QString& root, const QMap<QString, QByteArray>& files);

// Writes an update.ini that selects the alpha channel: its one mirror at
// baseUrl (without version) and the version to update to.
bool writeAlphaUpdateIni(const QString& path, const QString& baseUrl, int version);

// Compares two trees by type and file content only (an installation gives
// its files permissions of its own); the entries named in 'ignored'
// (relative paths, with everything below them) are left out on both sides.
// One line per difference, empty when equal.
QString contentDifference(const QString& actualRoot, const QString& expectedRoot,
                          const QStringList& ignored = QStringList());

} // namespace ReleaseFixtures
