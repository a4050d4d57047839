#include "manifest/inidownloadtaskspecification.h"

#include "app/configuration.h"
#include "download/downloadtaskspecification.h"
#include "manifest/checksignaturetaskspecification.h"

#include <QFile>

namespace {
// Share of the stage for each download; the check takes the rest.
constexpr double DownloadWeight = 0.3333;
}

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                                           Configuration* configuration, QObject* parent,
                                                           double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , configuration(configuration)
    , retryCount(0)
{
}

IniDownloadTaskSpecification::~IniDownloadTaskSpecification() = default;

void IniDownloadTaskSpecification::execute()
{
    emit message(tr("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::reset()
{
    clearSubTasks();
    retryCount = 0;
    TaskSpecification::reset();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString manifestName = configuration->updateType + QStringLiteral(".ini");
    const QString signatureName = manifestName + QStringLiteral(".sig");
    const QString manifestPath = configuration->tempDir + QLatin1Char('/') + manifestName;
    const QString signaturePath = configuration->tempDir + QLatin1Char('/') + signatureName;

    // Files of an earlier attempt (a resumed run) are worth one check; after
    // a failed check both come from a mirror again.
    double checkWeight = 1.0;
    if (retryCount >= 1 || !QFile::exists(manifestPath)) {
        addSubTask(new DownloadTaskSpecification(networkManager, mirrors, manifestName, manifestPath, -1, this,
                                                 DownloadWeight));
        checkWeight -= DownloadWeight;
    }
    if (retryCount >= 1 || !QFile::exists(signaturePath)) {
        addSubTask(new DownloadTaskSpecification(networkManager, mirrors, signatureName, signaturePath, -1, this,
                                                 DownloadWeight));
        checkWeight -= DownloadWeight;
    }

    auto* check = new CheckSignatureTaskSpecification(manifestPath, QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this, &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = Running;
    executeSubTasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    // A passing check finishes, and with it this stage.
    if (pass)
        return;

    // A cancel that came while the check ran ends the stage here instead
    // of starting new downloads. The check task finishes after this
    // returns; detached, it cannot end the stage a second time.
    if (userCancelRequested) {
        clearSubTasks();
        userCancel();
        return;
    }

    ++retryCount;
    if (retryCount > MaxRetries) {
        emit message(tr("Could not verify the product ini file. Aborting"));
        clearSubTasks();
        errorCancel();
        return;
    }

    emit message(tr("Could not verify the product ini file. Retrying"));
    // Start afresh but keep the count: the discarded check task goes on
    // ending, unseen, while the new subtasks are queued.
    const int retries = retryCount;
    reset();
    retryCount = retries;
    makeSubtasksAndStart();
}
