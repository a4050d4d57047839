#include "install/filereplacelisttaskspecification.h"

#include "app/configuration.h"
#include "install/dircreatetaskspecification.h"
#include "install/filereplacetaskspecification.h"

#include "task/asynctaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>
#include <QThreadPool>

#include <fcntl.h>
#include <unistd.h>

namespace {
// Writes everything cached for the file system of a directory to the device.
// One sync for the whole installation costs far less than one per file.
class InstallationSyncFunc : public ASyncFunc
{
public:
    explicit InstallationSyncFunc(const QString& directory)
        : directory(directory)
    {
    }

    bool run() override
    {
        const int fd = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool ok = ::syncfs(fd) == 0;
        ::close(fd);
        return ok;
    }

private:
    QString directory;
};
} // namespace

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
        rollBackStage();
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    if (rollbackList.isEmpty()) {
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    // The stage ends when the sync has ended, from the event loop.
    auto* func = new InstallationSyncFunc(Configuration::getAppRootPath());
    const quint64 sync = ++syncCount;
    connect(func, &ASyncFunc::runResult, this, [this, sync](bool ok) { onInstallationSynced(sync, ok); },
            Qt::QueuedConnection);
    QThreadPool::globalInstance()->start(new ASyncRun(func));
}

void FileReplaceListTaskSpecification::onInstallationSynced(quint64 sync, bool ok)
{
    if (sync != syncCount || state != Running)
        return;
    if (!ok) {
        // The device failed: nothing says the new files are intact, so the
        // old ones must stay.
        emit message(tr("Could not write the installed files to disk"));
        rollBackStage();
        errorCancel();
        return;
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::rollBackStage()
{
    emit message(tr("rolling back file updates"));
    rollbackList.rollback(this);
}

void FileReplaceListTaskSpecification::reset()
{
    ++syncCount;
    clearSubTasks();
    rollbackList.rollback(this);
    TaskSpecification::reset();
}
