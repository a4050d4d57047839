#include "download/downloadfilelisttaskspecification.h"

#include "app/configuration.h"
#include "download/downloadfiletaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(QList<FileDownloadSpecification>* files,
                                                                     QNetworkAccessManager* networkManager,
                                                                     Mirrors* mirrors, Configuration* configuration,
                                                                     QObject* parent, double weight)
    : ComposedTaskSpecification(qMax(1, configuration->downloadConcurrency), weight, parent)
    , files(files)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , configuration(configuration)
    , totalSize(0)
{
}

DownloadFileListTaskSpecification::~DownloadFileListTaskSpecification() = default;

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::reset()
{
    clearSubTasks();
    totalSize = 0;
    TaskSpecification::reset();
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (files->isEmpty()) {
        emit message(tr("No downloads needed"));
        finish();
        return;
    }
    if (!makeSubDirs())
        return;

    emit message(tr("Downloading files"));
    const double share = 1.0 / double(files->size());
    for (const FileDownloadSpecification& file : std::as_const(*files)) {
        addSubTask(new DownloadFileTaskSpecification(file, networkManager, mirrors, configuration, this, share));
        totalSize += file.size;
    }
    state = Running;
    executeSubTasks();
}

bool DownloadFileListTaskSpecification::makeSubDirs()
{
    const QDir tempDir(configuration->tempDir);
    QSet<QString> made{QStringLiteral(".")};
    for (const FileDownloadSpecification& file : std::as_const(*files)) {
        const QString dir = QFileInfo(file.fileName).path();
        if (made.contains(dir))
            continue;
        if (!tempDir.mkpath(dir)) {
            emit message(tr("could not make dir %1").arg(tempDir.canonicalPath() + QLatin1Char('/') + dir));
            errorCancel();
            return false;
        }
        made.insert(dir);
    }
    return true;
}

void DownloadFileListTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                                 bool& downloading)
{
    ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    // Files not started yet count in the total from the start.
    downloadTotal = totalSize;
}
