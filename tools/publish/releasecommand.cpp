#include "releasecommand.h"

#include "releasefilewriter.h"
#include "releasetree.h"

#include "manifest/tomcryptutil.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <memory>

const QString ReleaseCommand::FilesSection = QStringLiteral("files");
const QString ReleaseCommand::CompressedSuffix = QStringLiteral(".gz");

namespace {

const QString DeleteSection = QStringLiteral("delete");
const QString FieldSeparator = QStringLiteral("::");
const QString BackupPrefix = QStringLiteral("_old_");
// Problems beyond this many are only counted.
constexpr int MaxProblemsShown = 50;

struct GzipPattern
{
    QString text;
    QRegularExpression expression;
    bool onWholePath = false; // the pattern holds a "/"
    int matches = 0;
};

// One file of the release on its way to the mirror.
struct ReleaseFile
{
    QString path; // relative to the release: where the updater installs it
    QString key;  // manifest key: below the section on the mirror, and in the updater's temporary directory
    qint64 size = 0;
    bool compressed = false;
    StoredFileInfo stored;
    QString error;

    QString manifestValue() const
    {
        QString value = stored.md5 + FieldSeparator + QString::number(stored.size);
        if (compressed) {
            value += FieldSeparator + stored.sourceMd5 + FieldSeparator + QString::number(stored.sourceSize)
                + FieldSeparator + path;
        }
        return value;
    }
};

// "a/b/c" → "a", "a/b".
void addParentDirectories(const QString& path, QSet<QString>& directories)
{
    qsizetype slash = path.indexOf(QLatin1Char('/'));
    while (slash > 0) {
        directories.insert(path.left(slash));
        slash = path.indexOf(QLatin1Char('/'), slash + 1);
    }
}

QString fileNameOf(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Reasons why a release path cannot be carried to the installations.
QStringList pathProblems(const QString& path, bool compressed)
{
    QStringList reasons;
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            reasons << QStringLiteral("contains a control character");
            break;
        }
    }
    // A download URL is built from the plain path: "#" would start a
    // fragment, "?" a query, and "%" an escape.
    if (path.contains(QLatin1Char('#')) || path.contains(QLatin1Char('?')) || path.contains(QLatin1Char('%')))
        reasons << QStringLiteral("contains \"#\", \"?\" or \"%\", which a download URL cannot carry");
    if (fileNameOf(path).startsWith(BackupPrefix))
        reasons << QStringLiteral("begins with \"%1\", the prefix of the updater's backup files").arg(BackupPrefix);
    // The installed path of a compressed file is the fifth field of its
    // manifest value.
    if (compressed && path.contains(FieldSeparator))
        reasons << QStringLiteral("contains \"::\", the field separator of the manifest (allowed only in files that are not compressed)");
    return reasons;
}

void chmodLikeMkdir(const QString& path)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(QFile::encodeName(path).constData(), 0777 & ~mask);
}

} // namespace

QString ReleaseCommand::name() const
{
    return QStringLiteral("release");
}

QString ReleaseCommand::arguments() const
{
    return QStringLiteral("--type TYPE --version N --key PRIVATE_FILE [--gzip PATTERN]... "
                          "[--previous OLD_RELEASE_DIR] RELEASE_DIR MIRROR_ROOT");
}

QString ReleaseCommand::summary() const
{
    return QStringLiteral("publish RELEASE_DIR as version N: MIRROR_ROOT/N/files/..., TYPE.ini and TYPE.ini.sig");
}

int ReleaseCommand::run(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption typeOption(QStringLiteral("type"), QString(), QStringLiteral("TYPE"));
    const QCommandLineOption versionOption(QStringLiteral("version"), QString(), QStringLiteral("N"));
    const QCommandLineOption keyOption(QStringLiteral("key"), QString(), QStringLiteral("PRIVATE_FILE"));
    const QCommandLineOption gzipOption(QStringLiteral("gzip"), QString(), QStringLiteral("PATTERN"));
    const QCommandLineOption previousOption(QStringLiteral("previous"), QString(), QStringLiteral("OLD_RELEASE_DIR"));
    parser.addOptions({typeOption, versionOption, keyOption, gzipOption, previousOption});
    if (!parser.parse(QStringList{name()} + args)) {
        report(parser.errorText());
        return usageError();
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2 || !parser.isSet(typeOption) || !parser.isSet(versionOption)
        || !parser.isSet(keyOption) || parser.values(typeOption).size() > 1
        || parser.values(versionOption).size() > 1 || parser.values(keyOption).size() > 1
        || parser.values(previousOption).size() > 1)
        return usageError();

    // Build type: it names the manifest, so a plain portable file name.
    const QString type = parser.value(typeOption);
    static const QRegularExpression typePattern(QStringLiteral("\\A[A-Za-z0-9_][A-Za-z0-9._-]*\\z"));
    if (!typePattern.match(type).hasMatch()) {
        report(QStringLiteral("invalid type \"%1\": use letters, digits, \".\", \"_\" and \"-\"").arg(type));
        return Failure;
    }
    const QString manifestName = type + QStringLiteral(".ini");
    const QString signatureName = manifestName + QStringLiteral(".sig");

    bool versionOk = false;
    const int version = parser.value(versionOption).toInt(&versionOk, 10);
    if (!versionOk || version <= 0) {
        report(QStringLiteral("invalid version \"%1\": a positive decimal number is needed").arg(parser.value(versionOption)));
        return Failure;
    }
    const QString versionName = QString::number(version);

    QList<GzipPattern> patterns;
    for (const QString& text : parser.values(gzipOption)) {
        GzipPattern pattern;
        pattern.text = text;
        pattern.expression.setPattern(QRegularExpression::wildcardToRegularExpression(text));
        pattern.onWholePath = text.contains(QLatin1Char('/'));
        if (text.isEmpty() || !pattern.expression.isValid()) {
            report(QStringLiteral("invalid --gzip pattern \"%1\"").arg(text));
            return Failure;
        }
        patterns.append(pattern);
    }

    Rsa_key key{};
    try {
        load_key(&key, nativePath(parser.value(keyOption)).constData());
        if (key.type != PK_PRIVATE)
            throw crypt_exception("not a private key: " + parser.value(keyOption).toStdString());
    } catch (const crypt_exception& e) {
        free_key(&key);
        report(QString::fromLocal8Bit(e.what()));
        return Failure;
    }
    const std::unique_ptr<Rsa_key, void (*)(Rsa_key*)> keyGuard(&key, free_key);

    const QString releaseDir = QDir::cleanPath(QDir::current().absoluteFilePath(positional[0]));
    const QString mirrorRoot = QDir::cleanPath(QDir::current().absoluteFilePath(positional[1]));
    const QString targetDir = mirrorRoot + QLatin1Char('/') + versionName;

    ReleaseTree release;
    if (!release.scan(releaseDir)) {
        report(QStringLiteral("%1 is not a readable directory").arg(positional[0]));
        return Failure;
    }
    if (QFileInfo::exists(targetDir) || QFileInfo(targetDir).isSymLink()) {
        report(QStringLiteral("%1 already exists; a published version is never overwritten").arg(targetDir));
        return Failure;
    }
    // Writing into the release would change what is being published.
    const QString releaseCanonical = QFileInfo(releaseDir).canonicalFilePath();
    QString mirrorExisting = mirrorRoot;
    while (!QFileInfo::exists(mirrorExisting) && mirrorExisting != QLatin1String("/"))
        mirrorExisting = QFileInfo(mirrorExisting).path();
    const QString mirrorCanonical = QFileInfo(mirrorExisting).canonicalFilePath()
        + mirrorRoot.mid(mirrorExisting.size());
    if (mirrorCanonical == releaseCanonical || mirrorCanonical.startsWith(releaseCanonical + QLatin1Char('/'))) {
        report(QStringLiteral("MIRROR_ROOT %1 lies inside RELEASE_DIR %2").arg(positional[1], positional[0]));
        return Failure;
    }

    // Everything that cannot be published, with the path it concerns.
    QStringList problems;
    const auto problem = [&problems](const QString& path, const QString& reason) {
        problems << QStringLiteral("%1: %2").arg(path, reason);
    };
    for (const QString& path : std::as_const(release.symlinks))
        problem(path, QStringLiteral("is a symbolic link; the updater installs regular files only"));
    for (const QString& path : std::as_const(release.specialFiles))
        problem(path, QStringLiteral("is not a regular file"));
    for (const QString& path : std::as_const(release.emptyDirectories))
        problem(path, QStringLiteral("is an empty directory, which the manifest cannot carry (add a file or remove it)"));
    for (const QString& path : std::as_const(release.unreadableDirectories))
        problem(path, QStringLiteral("is a directory that cannot be read"));
    for (const QString& path : std::as_const(release.undecodableNames))
        problem(path, QStringLiteral("has a name that is not valid UTF-8"));
    if (release.files.isEmpty() && problems.isEmpty())
        problem(positional[0], QStringLiteral("holds no files"));

    QList<ReleaseFile> files;
    files.reserve(release.files.size());
    QHash<QString, QString> pathOfKey;
    QSet<QString> releasePaths;
    QSet<QString> releaseDirectories;
    QSet<QString> keyDirectories;
    for (const ReleaseTree::File& entry : std::as_const(release.files)) {
        ReleaseFile file;
        file.path = entry.path;
        file.size = entry.size;
        const QString name = fileNameOf(entry.path);
        for (GzipPattern& pattern : patterns) {
            if (pattern.expression.match(pattern.onWholePath ? entry.path : name).hasMatch()) {
                ++pattern.matches;
                file.compressed = true;
            }
        }
        file.key = file.compressed ? entry.path + CompressedSuffix : entry.path;
        for (const QString& reason : pathProblems(entry.path, file.compressed))
            problem(entry.path, reason);
        if (pathOfKey.contains(file.key)) {
            problem(entry.path, QStringLiteral("would be stored as %1, the stored name of %2")
                                    .arg(file.key, pathOfKey.value(file.key)));
        }
        if (file.key == manifestName || file.key == signatureName) {
            problem(entry.path, QStringLiteral("would be downloaded over the manifest %1 in the updater's temporary directory")
                                    .arg(file.key));
        }
        pathOfKey.insert(file.key, entry.path);
        releasePaths.insert(entry.path);
        addParentDirectories(entry.path, releaseDirectories);
        addParentDirectories(file.key, keyDirectories);
        files.append(file);
    }
    for (const ReleaseFile& file : std::as_const(files)) {
        if (file.compressed && keyDirectories.contains(file.key))
            problem(file.path, QStringLiteral("would be stored as %1, which is a directory of the release").arg(file.key));
    }
    for (const GzipPattern& pattern : std::as_const(patterns)) {
        if (pattern.matches == 0)
            report(QStringLiteral("note: --gzip pattern \"%1\" matches no file").arg(pattern.text));
    }

    // Files of the previous release that this one no longer has. The updater
    // installs before it deletes, so a path cannot turn from a file into a
    // directory (or back) in one step.
    QStringList deletes;
    if (parser.isSet(previousOption)) {
        const QString previousDir = QDir::cleanPath(QDir::current().absoluteFilePath(parser.value(previousOption)));
        ReleaseTree previous;
        if (!previous.scan(previousDir)) {
            report(QStringLiteral("%1 is not a readable directory").arg(parser.value(previousOption)));
            return Failure;
        }
        for (const QString& path : std::as_const(previous.unreadableDirectories))
            problem(QStringLiteral("previous release: ") + path, QStringLiteral("is a directory that cannot be read"));
        for (const QString& path : std::as_const(previous.undecodableNames))
            problem(QStringLiteral("previous release: ") + path, QStringLiteral("has a name that is not valid UTF-8"));
        QStringList previousPaths = previous.symlinks + previous.specialFiles;
        for (const ReleaseTree::File& entry : std::as_const(previous.files))
            previousPaths << entry.path;
        std::sort(previousPaths.begin(), previousPaths.end());
        QSet<QString> previousDirectories;
        for (const QString& path : std::as_const(previousPaths)) {
            addParentDirectories(path, previousDirectories);
            if (releaseDirectories.contains(path)) {
                problem(path, QStringLiteral("is a file in the previous release and a directory now; the updater "
                                             "installs before it deletes, so remove the file in a release of its own first"));
            } else if (!releasePaths.contains(path)) {
                deletes << path;
            }
        }
        for (const ReleaseFile& file : std::as_const(files)) {
            if (previousDirectories.contains(file.path)) {
                problem(file.path, QStringLiteral("is a directory in the previous release and a file now; the updater "
                                                  "installs before it deletes, so remove the directory in a release of its own first"));
            }
        }
    }

    if (!problems.isEmpty()) {
        report(QStringLiteral("cannot publish %1:").arg(positional[0]));
        for (int i = 0; i < problems.size() && i < MaxProblemsShown; ++i)
            std::fprintf(stderr, "  %s\n", qPrintable(problems[i]));
        if (problems.size() > MaxProblemsShown)
            std::fprintf(stderr, "  ... and %d more\n", int(problems.size() - MaxProblemsShown));
        report(QStringLiteral("nothing was written"));
        return Failure;
    }

    // Everything is written into a hidden staging directory next to the
    // version directory and renamed into place at the end.
    const bool mirrorRootExisted = QFileInfo(mirrorRoot).isDir();
    if (!QDir().mkpath(mirrorRoot)) {
        report(QStringLiteral("cannot create %1").arg(mirrorRoot));
        return Failure;
    }
    auto staging = std::make_unique<QTemporaryDir>(mirrorRoot + QStringLiteral("/.kr3-release-") + versionName
                                                   + QStringLiteral("-XXXXXX"));
    const auto abandon = [&](const QString& text) {
        report(text);
        staging.reset();
        if (!mirrorRootExisted)
            QDir().rmdir(mirrorRoot);
        report(QStringLiteral("nothing was written"));
        return Failure;
    };
    if (!staging->isValid())
        return abandon(QStringLiteral("cannot create a directory in %1: %2").arg(mirrorRoot, staging->errorString()));
    const QString stagingDir = staging->path();
    const QString filesDir = stagingDir + QLatin1Char('/') + FilesSection;

    QSet<QString> storedDirectories{QString()};
    for (const ReleaseFile& file : std::as_const(files)) {
        const qsizetype slash = file.key.lastIndexOf(QLatin1Char('/'));
        storedDirectories.insert(slash < 0 ? QString() : file.key.left(slash));
    }
    for (const QString& dir : std::as_const(storedDirectories)) {
        if (!QDir().mkpath(dir.isEmpty() ? filesDir : filesDir + QLatin1Char('/') + dir))
            return abandon(QStringLiteral("cannot create %1/%2").arg(filesDir, dir));
    }

    // Store the files on all cores, the largest first so that no long file
    // is left to run alone at the end.
    QList<qsizetype> order(files.size());
    for (qsizetype i = 0; i < files.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&files](qsizetype a, qsizetype b) { return files[a].size > files[b].size; });
    std::atomic<qsizetype> next{0};
    std::atomic<bool> failed{false};
    {
        QThreadPool pool;
        const int workers = int(qBound(qsizetype(1), qsizetype(QThread::idealThreadCount()), files.size()));
        pool.setMaxThreadCount(workers);
        for (int w = 0; w < workers; ++w) {
            pool.start([&] {
                ReleaseFileWriter writer;
                while (!failed) {
                    const qsizetype i = next.fetch_add(1);
                    if (i >= order.size())
                        return;
                    ReleaseFile& file = files[order[i]];
                    const QString source = releaseDir + QLatin1Char('/') + file.path;
                    const QString destination = filesDir + QLatin1Char('/') + file.key;
                    const bool ok = file.compressed ? writer.gzip(source, destination, file.stored)
                                                    : writer.copy(source, destination, file.stored);
                    if (!ok) {
                        file.error = writer.errorString();
                        failed = true;
                    }
                }
            });
        }
        pool.waitForDone();
    }
    for (const ReleaseFile& file : std::as_const(files)) {
        if (!file.error.isEmpty())
            return abandon(file.error);
    }

    // The manifest, written by the same settings format the updater reads,
    // so that every key comes back exactly as meant, whatever a path holds.
    const QString manifestPath = stagingDir + QLatin1Char('/') + manifestName;
    {
        QSettings ini(manifestPath, QSettings::IniFormat);
        ini.beginGroup(FilesSection);
        for (const ReleaseFile& file : std::as_const(files))
            ini.setValue(file.key, file.manifestValue());
        ini.endGroup();
        if (!deletes.isEmpty()) {
            ini.beginGroup(DeleteSection);
            for (const QString& path : std::as_const(deletes))
                ini.setValue(path, QString());
            ini.endGroup();
        }
        ini.sync();
        if (ini.status() != QSettings::NoError)
            return abandon(QStringLiteral("cannot write %1").arg(manifestPath));
    }

    // Read it back as the updater will.
    {
        QSettings ini(manifestPath, QSettings::IniFormat);
        QStringList expectedGroups{FilesSection};
        if (!deletes.isEmpty())
            expectedGroups.prepend(DeleteSection);
        if (ini.status() != QSettings::NoError || ini.childGroups() != expectedGroups || !ini.childKeys().isEmpty())
            return abandon(QStringLiteral("the manifest does not read back as written"));
        ini.beginGroup(FilesSection);
        const QStringList keys = ini.allKeys();
        if (keys.size() != files.size())
            return abandon(QStringLiteral("the manifest does not read back as written (%1 keys instead of %2)")
                               .arg(keys.size()).arg(files.size()));
        for (const ReleaseFile& file : std::as_const(files)) {
            const QVariant value = ini.value(file.key);
            if (value.typeId() != QMetaType::QString || value.toString() != file.manifestValue())
                return abandon(QStringLiteral("%1: the manifest does not read back as written").arg(file.path));
        }
        ini.endGroup();
        if (!deletes.isEmpty()) {
            ini.beginGroup(DeleteSection);
            QStringList readDeletes = ini.allKeys();
            std::sort(readDeletes.begin(), readDeletes.end());
            if (readDeletes != deletes)
                return abandon(QStringLiteral("the delete section does not read back as written"));
            ini.endGroup();
        }
    }

    // The detached signature, checked once more before it is published.
    {
        QFile manifest(manifestPath);
        if (!manifest.open(QIODevice::ReadOnly))
            return abandon(QStringLiteral("cannot read %1").arg(manifestPath));
        const QByteArray content = manifest.readAll();
        unsigned char sig[512];
        unsigned long sigLen = sizeof sig;
        try {
            const auto* msg = reinterpret_cast<const unsigned char*>(content.constData());
            sign_msg(&key, msg, static_cast<unsigned long>(content.size()), sig, &sigLen);
            if (!verify_msg(&key, msg, static_cast<unsigned long>(content.size()), sig, sigLen))
                throw crypt_exception("the new signature does not verify");
            write_file(nativePath(stagingDir + QLatin1Char('/') + signatureName).constData(), sig, sigLen);
        } catch (const crypt_exception& e) {
            return abandon(QString::fromLocal8Bit(e.what()));
        }
    }

    chmodLikeMkdir(stagingDir);
    if (QFileInfo::exists(targetDir) || !QDir().rename(stagingDir, targetDir))
        return abandon(QStringLiteral("cannot rename %1 to %2").arg(stagingDir, targetDir));
    staging->setAutoRemove(false);

    int compressed = 0;
    quint64 storedBytes = 0;
    for (const ReleaseFile& file : std::as_const(files)) {
        compressed += file.compressed ? 1 : 0;
        storedBytes += file.stored.size;
    }
    say(QStringLiteral("Published %1 version %2: %3 files (%4 compressed, %5 bytes stored), %6 to delete")
            .arg(type, versionName)
            .arg(files.size())
            .arg(compressed)
            .arg(storedBytes)
            .arg(deletes.size()));
    say(QStringLiteral("Wrote %1").arg(targetDir));
    return Success;
}
