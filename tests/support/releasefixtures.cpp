#include "releasefixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

#include "filefixtures.h"
#include "treesnapshot.h"

namespace ReleaseFixtures {

bool publish(const QString& tool, const QString& key, const PublishOptions& options, const QString& releaseDir,
             const QString& mirrorRoot, QString* errorText)
{
    QStringList arguments{QStringLiteral("release"), QStringLiteral("--type"), options.type,
                          QStringLiteral("--version"), QString::number(options.version), QStringLiteral("--key"), key};
    for (const QString& pattern : options.gzipPatterns)
        arguments << QStringLiteral("--gzip") << pattern;
    if (!options.previousRelease.isEmpty())
        arguments << QStringLiteral("--previous") << options.previousRelease;
    arguments << releaseDir << mirrorRoot;

    QProcess process;
    process.start(tool, arguments);
    const bool done = process.waitForFinished(60000);
    if (done && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    if (!done)
        process.kill();
    if (errorText)
        *errorText = done ? QString::fromLocal8Bit(process.readAllStandardError()) : QStringLiteral("timed out");
    return false;
}

bool writeMirrorsIni(const QString& path, const QList<QPair<QString, QString>>& mirrors)
{
    QFile::remove(path);
    QSettings ini(path, QSettings::IniFormat);
    ini.beginWriteArray(QStringLiteral("mirrors"));
    for (qsizetype i = 0; i < mirrors.size(); ++i) {
        ini.setArrayIndex(int(i));
        ini.setValue(QStringLiteral("mirror"), mirrors.at(i).first);
    }
    ini.endArray();
    for (const auto& mirror : mirrors)
        ini.setValue(mirror.first + QStringLiteral("/url"), mirror.second);
    ini.sync();
    return ini.status() == QSettings::NoError;
}

bool copyTree(const QString& from, const QString& to)
{
    if (!QDir().mkpath(to))
        return false;
    const QDir source(from);
    QDirIterator it(from, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info = it.nextFileInfo();
        const QString target = to + QLatin1Char('/') + source.relativeFilePath(info.filePath());
        if (info.isDir()) {
            if (!QDir().mkpath(target))
                return false;
        } else if (!QFile::copy(info.filePath(), target) || !QFile::setPermissions(target, info.permissions())) {
            return false;
        }
    }
    return true;
}

bool writeTree(const QString& root, const QMap<QString, QByteArray>& files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!FileFixtures::writeFile(root + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}

bool writeAlphaUpdateIni(const QString& path, const QString& baseUrl, int version)
{
    QSettings ini(path, QSettings::IniFormat);
    ini.setValue(QStringLiteral("Channel/alpha"), baseUrl);
    ini.setValue(QStringLiteral("Channel/alphaRevno"), version);
    ini.sync();
    return ini.status() == QSettings::NoError;
}

QString contentDifference(const QString& actualRoot, const QString& expectedRoot, const QStringList& ignored)
{
    const TreeSnapshot actual = TreeSnapshot::take(actualRoot).without(ignored);
    const TreeSnapshot expected = TreeSnapshot::take(expectedRoot).without(ignored);
    QStringList lines;
    for (auto it = expected.entries().cbegin(); it != expected.entries().cend(); ++it) {
        if (!actual.contains(it.key())) {
            lines.append(QStringLiteral("missing: ") + it.key());
            continue;
        }
        const TreeSnapshot::Entry found = actual.entry(it.key());
        if (found.type != it.value().type || found.size != it.value().size || found.hash != it.value().hash)
            lines.append(QStringLiteral("differs: %1: %2 instead of %3")
                             .arg(it.key(), TreeSnapshot::describe(found), TreeSnapshot::describe(it.value())));
    }
    for (auto it = actual.entries().cbegin(); it != actual.entries().cend(); ++it) {
        if (!expected.contains(it.key()))
            lines.append(QStringLiteral("extra: ") + it.key());
    }
    lines.sort();
    return lines.join(QLatin1Char('\n'));
}

} // namespace ReleaseFixtures
