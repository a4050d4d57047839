#include "releasefixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

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

} // namespace ReleaseFixtures
