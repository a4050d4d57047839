#include "releasefixture.h"

#include <QProcess>
#include <QSettings>

#include "filefixtures.h"
#include "treesnapshot.h"

namespace ReleaseFixture {

bool writeTree(const QString& root, const QMap<QString, QByteArray>& files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!FileFixtures::writeFile(root + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}

QString publish(const QString& tool, const QString& privateKey, int version, const QString& releaseDir,
                const QString& mirrorRoot, const QString& previous)
{
    QStringList arguments{QStringLiteral("release"), QStringLiteral("--type"), QStringLiteral("client_linux_x86"),
                          QStringLiteral("--version"), QString::number(version), QStringLiteral("--key"), privateKey,
                          QStringLiteral("--gzip"), QStringLiteral("*.pak")};
    if (!previous.isEmpty())
        arguments << QStringLiteral("--previous") << previous;
    arguments << releaseDir << mirrorRoot;
    QProcess process;
    process.start(tool, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return QStringLiteral("kr3-publish did not end: ") + process.errorString();
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QStringLiteral("kr3-publish failed: ") + QString::fromLocal8Bit(process.readAllStandardError());
    return QString();
}

bool writeMirrorsIni(const QString& path, const QString& baseUrl)
{
    QSettings ini(path, QSettings::IniFormat);
    ini.beginWriteArray(QStringLiteral("mirrors"));
    ini.setArrayIndex(0);
    ini.setValue(QStringLiteral("mirror"), QStringLiteral("local"));
    ini.endArray();
    ini.setValue(QStringLiteral("local/url"), baseUrl);
    ini.sync();
    return ini.status() == QSettings::NoError;
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

} // namespace ReleaseFixture
