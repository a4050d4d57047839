#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Published releases and installations for tests that run whole updates.
namespace ReleaseFixture {

// Writes a client tree: relative path -> content. True when all went well.
bool writeTree(const QString& root, const QMap<QString, QByteArray>& files);

// Publishes RELEASE_DIR as version 'version' of client_linux_x86 below
// mirrorRoot with kr3-publish (files matching *.pak compressed), signed with
// the development key. 'previous' names the preceding release or is empty.
// Returns an empty text on success, else what went wrong.
QString publish(const QString& tool, const QString& privateKey, int version, const QString& releaseDir,
                const QString& mirrorRoot, const QString& previous = QString());

// Writes a "mirrors.ini" naming one mirror at baseUrl (the mirror root,
// without version).
bool writeMirrorsIni(const QString& path, const QString& baseUrl);

// Writes an "update.ini" selecting the alpha channel: its mirror at baseUrl
// and the version to update to.
bool writeAlphaUpdateIni(const QString& path, const QString& baseUrl, int version);

// Compares two trees by their files' content only (installed files get
// their own permissions); entries listed in 'ignored' (relative paths) are
// left out on both sides. One line per difference, empty when equal.
QString contentDifference(const QString& actualRoot, const QString& expectedRoot,
                          const QStringList& ignored = QStringList());

} // namespace ReleaseFixture
