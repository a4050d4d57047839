#include "manifest/makedownloadreplacelisttaskspecification.h"

#include "app/configuration.h"
#include "manifest/checksignaturetaskspecification.h"

#include <QFile>
#include <QFileInfo>
#include <QSemaphore>
#include <QSettings>
#include <QThread>
#include <QThreadPool>

#include <atomic>

bool FileReplaceSpecification::hasUnzip() const
{
    return !unpackedFileName.isEmpty();
}

QString FileReplaceSpecification::pureDestFilePath() const
{
    return hasUnzip() ? unpackedFileName : fileName;
}

QString FileReplaceSpecification::destFileName(const QString& prefix) const
{
    if (prefix.isEmpty())
        return pureDestFilePath();
    const QFileInfo info(pureDestFilePath());
    const QString name = prefix + info.fileName();
    const QString dir = info.path();
    return dir == QLatin1String(".") ? name : dir + QLatin1Char('/') + name;
}

QString FileReplaceSpecification::oldDestFileName() const
{
    return destFileName(Configuration::getSpecialFileRenamePrefix());
}

void FileSpecifications::clear()
{
    downloadList.clear();
    replaceList.clear();
    deleteList.clear();
}

namespace {

const QString DeleteSection = QStringLiteral("delete");
const QString FieldSeparator = QStringLiteral("::");

// One key of the manifest with the verdict of its checks.
struct ManifestEntry
{
    bool isDelete = false;
    FileDownloadSpecification download;
    FileReplaceSpecification replace;
    // "delete" key: the file exists. File key: the installed copy is not
    // current, so the file must be installed.
    bool listed = false;
    // File key: no intact copy lies in the temporary directory.
    bool needsDownload = false;
};

quint64 toSize(const QString& field)
{
    bool ok = false;
    const quint64 value = field.toULongLong(&ok, 10);
    return ok ? value : 0;
}

// An existing file that hashes to the expected sum. An empty sum asks for
// the signature check instead, as everywhere else.
bool fileMatches(const QString& path, const QString& md5)
{
    if (!QFile::exists(path))
        return false;
    CheckSigFunc check(path, md5);
    return check.run();
}

void checkEntry(ManifestEntry& entry, const QString& appRootPath, const QString& tempDir)
{
    if (entry.isDelete) {
        entry.listed = QFile::exists(appRootPath + QLatin1Char('/') + entry.download.fileName);
        return;
    }
    const FileReplaceSpecification& r = entry.replace;
    const QString installedPath = appRootPath + QLatin1Char('/') + r.destFileName(QString());
    if (fileMatches(installedPath, r.hasUnzip() ? r.unpackedMd5 : entry.download.md5))
        return;
    entry.listed = true;
    const QString downloadedPath = tempDir + QLatin1Char('/') + entry.download.fileName;
    entry.needsDownload = !fileMatches(downloadedPath, entry.download.md5);
}

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration* configuration,
                                                         FileSpecifications& specifications)
    : configuration(configuration)
    , specifications(&specifications)
    , appRootPath(Configuration::getAppRootPath())
    , tempDir(configuration->tempDir)
    , updateType(configuration->updateType)
{
}

MakeDownloadReplaceListFunc::~MakeDownloadReplaceListFunc() = default;

int MakeDownloadReplaceListFunc::getFileCount(QSettings& settings)
{
    int count = 0;
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        settings.beginGroup(section);
        count += int(settings.allKeys().size());
        settings.endGroup();
    }
    return count;
}

bool MakeDownloadReplaceListFunc::run()
{
    specifications->clear();
    const QString manifestPath = tempDir + QLatin1Char('/') + updateType + QStringLiteral(".ini");
    emit message(tr("Compiling download and replace list"));

    QSettings settings(manifestPath, QSettings::IniFormat);
    const int total = getFileCount(settings);
    if (total == 0) {
        emit message(tr("no files in product ini"));
        return false;
    }

    // Read and validate every key first, in manifest order; the checks
    // below only fill in verdicts.
    QList<ManifestEntry> entries;
    entries.reserve(total);
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        const bool isDelete = section == DeleteSection;
        for (const QString& key : keys) {
            ManifestEntry entry;
            entry.isDelete = isDelete;
            entry.download.section = section;
            entry.download.fileName = key;
            if (!isDelete) {
                const QStringList fields = settings.value(key).toString().split(FieldSeparator, Qt::KeepEmptyParts);
                if (fields.size() != 2 && fields.size() != 5) {
                    emit message(tr("warning: product ini contains invalid line in section %1").arg(section));
                    return false;
                }
                entry.download.md5 = fields[0];
                entry.download.size = toSize(fields[1]);
                entry.replace.section = section;
                entry.replace.fileName = key;
                if (fields.size() == 5) {
                    entry.replace.unpackedMd5 = fields[2];
                    entry.replace.unpackedSize = toSize(fields[3]);
                    entry.replace.unpackedFileName = fields[4];
                }
            }
            entries.append(entry);
        }
        settings.endGroup();
    }

    // Hash on all cores. Workers take entries by index and write only their
    // own entry; this thread counts finished entries and reports progress,
    // so progress rises monotonically and reaches 1 with the last entry.
    const qsizetype count = entries.size();
    const int workers = int(qBound(qsizetype(1), qsizetype(QThread::idealThreadCount()), count));
    std::atomic<qsizetype> next{0};
    QSemaphore checked;
    {
        QThreadPool pool;
        pool.setMaxThreadCount(workers);
        for (int w = 0; w < workers; ++w) {
            pool.start([&] {
                for (;;) {
                    const qsizetype i = next.fetch_add(1);
                    if (i >= count)
                        return;
                    checkEntry(entries[i], appRootPath, tempDir);
                    checked.release();
                }
            });
        }
        qsizetype done = 0;
        while (done < count) {
            checked.acquire();
            ++done;
            // Whatever else has finished meanwhile is reported in one step.
            const int more = checked.available();
            if (more > 0) {
                checked.acquire(more);
                done += more;
            }
            emit progress(double(done) / double(count));
        }
        pool.waitForDone();
    }

    for (const ManifestEntry& entry : std::as_const(entries)) {
        if (!entry.listed)
            continue;
        if (entry.isDelete) {
            specifications->deleteList.append(entry.download.fileName);
            continue;
        }
        specifications->replaceList.append(entry.replace);
        if (entry.needsDownload)
            specifications->downloadList.append(entry.download);
    }
    return true;
}

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration* configuration, FileSpecifications& specifications, QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , configuration(configuration)
    , specifications(specifications)
{
}

MakeDownloadReplaceListTaskSpecification::~MakeDownloadReplaceListTaskSpecification() = default;

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunction()
{
    return new MakeDownloadReplaceListFunc(configuration, compiledSpecifications);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    // Only a result for the running execution reaches the run's record; a
    // late result after a reset must not fill a record cleared for a new run.
    if (ok && state == Running) {
        specifications.downloadList = compiledSpecifications.downloadList;
        specifications.replaceList = compiledSpecifications.replaceList;
        specifications.deleteList = compiledSpecifications.deleteList;
    }
    ASyncTaskSpecification::runDone(ok);
}
