#pragma once

#include <QList>
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

} // namespace ReleaseFixtures
