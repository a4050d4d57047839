#include "download/downloadfiletaskspecification.h"

#include "app/configuration.h"
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "manifest/checksignaturetaskspecification.h"

namespace {
constexpr double DownloadWeight = 0.8;
constexpr double CheckWeight = 0.2;
}

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const FileDownloadSpecification& file,
                                                             QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                                             Configuration* configuration, QObject* parent,
                                                             double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , section(file.section)
    , fileName(file.fileName)
    , md5(file.md5)
    , size(file.size)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , configuration(configuration)
    , download(nullptr)
{
}

DownloadFileTaskSpecification::~DownloadFileTaskSpecification() = default;

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    clearSubTasks();
    download = nullptr;
    TaskSpecification::reset();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    const QString remotePath = section + QLatin1Char('/') + fileName;
    const QString localPath = configuration->tempDir + QLatin1Char('/') + fileName;

    download = new DownloadTaskSpecification(networkManager, mirrors, remotePath, localPath, qint64(size), this,
                                             DownloadWeight);
    addSubTask(download);

    // A failed check does not fail the task: the retry below takes over.
    auto* check = new CheckSignatureTaskSpecification(localPath, md5, false, this, CheckWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this, &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = Running;
    executeSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    // A passing check finishes, and with it this file.
    if (pass)
        return;

    // A cancel that came while the check ran ends the file here: it must
    // neither be fetched again nor count as done. The check task finishes
    // after this returns; detached, it cannot end this task a second time.
    if (userCancelRequested) {
        clearSubTasks();
        download = nullptr;
        userCancel();
        return;
    }

    emit message(tr("md5 sum for %1 failed, invalidating mirror and retrying").arg(fileName));
    mirrors->removeMirror(download->getMirror().name);
    reset();
    makeSubtasksAndStart();
}
