#include "install/filereplacelisttaskspecification.h"

#include "app/configuration.h"
#include "install/dircreatetaskspecification.h"
#include "install/filereplacetaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<FileReplaceSpecification>* replaceList,
                                                                   QList<QString>* deleteList,
                                                                   Configuration* configuration, QObject* parent,
                                                                   double weight)
    : ComposedTaskSpecification(2, weight, parent)
    , replaceList(replaceList)
    , deleteList(deleteList)
    , configuration(configuration)
{
}

FileReplaceListTaskSpecification::~FileReplaceListTaskSpecification() = default;

void FileReplaceListTaskSpecification::execute()
{
    emit message(tr("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    const int n = makeSubdirTasks();
    makeFileReplaceTasks(n > 0);
    state = Running;
    executeSubTasks();
}

int FileReplaceListTaskSpecification::makeSubdirTasks()
{
    if (!replaceList)
        return 0;
    const QDir appRoot(Configuration::getAppRootPath());
    QSet<QString> seen;
    QStringList missing;
    for (const FileReplaceSpecification& entry : std::as_const(*replaceList)) {
        const QString dir = QFileInfo(QFileInfo(appRoot, entry.destFileName(QString())).filePath()).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        // A file in the place of the directory is listed too: its task
        // then fails with a clear reason before anything is replaced.
        if (!QFileInfo(dir).isDir())
            missing.append(dir);
    }
    // Parents sort before their subdirectories.
    missing.sort();
    for (const QString& dir : std::as_const(missing))
        addSubTask(new DirCreateTaskSpecification(dir, &rollbackList, this, 0.1 / missing.size()));
    return int(missing.size());
}

void FileReplaceListTaskSpecification::makeFileReplaceTasks(bool haveDirTasks)
{
    if (!replaceList || replaceList->isEmpty())
        return;
    const double share = haveDirTasks ? 0.9 : 1.0;
    const double each = share / replaceList->size();
    for (const FileReplaceSpecification& entry : std::as_const(*replaceList))
        addSubTask(new FileReplaceTaskSpecification(entry, deleteList, &rollbackList, configuration, this, each));
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() != Finished) {
        emit message(tr("rolling back file updates"));
        rollbackList.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::reset()
{
    clearSubTasks();
    rollbackList.rollback(this);
    TaskSpecification::reset();
}
