#include "app/maintaskspecification.h"

#include "download/downloadfilelisttaskspecification.h"
#include "install/filedeletelisttaskspecification.h"
#include "install/filereplacelisttaskspecification.h"
#include "manifest/inidownloadtaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                             Configuration* configuration, QObject* parent, double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , configuration(configuration)
{
}

void MainTaskSpecification::execute()
{
    emit message(tr("Starting update process"));
    makeSubtasksAndStart();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    // All stages exist before the first runs: the later ones get pointers to
    // lists that the work-list stage fills, and the installation stage adds
    // the backups of replaced files to the delete list.
    addSubTask(new IniDownloadTaskSpecification(networkManager, mirrors, configuration, this, ManifestWeight));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(configuration, fileSpecifications, this, WorkListWeight));
    addSubTask(new DownloadFileListTaskSpecification(&fileSpecifications.downloadList, networkManager, mirrors,
                                                     configuration, this, DownloadWeight));
    addSubTask(new FileReplaceListTaskSpecification(&fileSpecifications.replaceList, &fileSpecifications.deleteList,
                                                    configuration, this, InstallWeight));
    addSubTask(new FileDeleteListTaskSpecification(&fileSpecifications.deleteList, this, DeleteWeight));
    state = Running;
    executeSubTasks();
}

void MainTaskSpecification::reset()
{
    clearSubTasks();
    fileSpecifications.clear();
    TaskSpecification::reset();
}
