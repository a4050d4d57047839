#include "install/filereplacetaskspecification.h"

#include "app/configuration.h"
#include "install/filecopytaskspecification.h"
#include "install/filedeletetaskspecification.h"
#include "install/filerenametaskspecification.h"
#include "install/fileunziptaskspecification.h"
#include "manifest/checksignaturetaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {
// The client's executables, its start script and the updater itself.
const QStringList executableFiles = {
    QStringLiteral("kr3client_linux_x86"),
    QStringLiteral("kr3client_linux_amd64"),
    QStringLiteral("kr3client_runscript.sh"),
    QStringLiteral("update"),
};
// Shared libraries and plug-ins, by the complete suffix of their name.
const QStringList executableSuffixes = {
    QStringLiteral("so"),
    QStringLiteral("so.4"),
};

// rwxr-xr-x: only the owner may change a program that the player runs.
constexpr QFile::Permissions ProgramPermissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
    | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
    | QFile::ExeOther;

QString pathIn(const QString& dir, const QString& relative)
{
    return QFileInfo(QDir(dir), relative).filePath();
}
} // namespace

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const FileReplaceSpecification& entry,
                                                           QList<QString>* deleteList,
                                                           RollbackDataList* stageRollbackList,
                                                           Configuration* configuration, QObject* parent,
                                                           double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , specification(entry)
    , deleteList(deleteList)
    , stageRollbackList(stageRollbackList)
    , configuration(configuration)
    , oldFileRenamed(false)
{
}

FileReplaceTaskSpecification::~FileReplaceTaskSpecification() = default;

void FileReplaceTaskSpecification::execute()
{
    emit message(tr("add/replace %1").arg(specification.fileName));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString appRoot = Configuration::getAppRootPath();
    const QString source = pathIn(configuration->tempDir, specification.fileName);
    const QString target = pathIn(appRoot, specification.destFileName(QString()));
    const QString backup = pathIn(appRoot, specification.oldDestFileName());

    double rest = 1.0;
    if (QFileInfo::exists(target)) {
        double base = 1.0;
        if (QFileInfo::exists(backup)) {
            // Left over from an earlier run that did not get to delete it.
            addSubTask(new FileDeleteTaskSpecification(true, backup, this, 0.1));
            base = 0.9;
        }
        oldFileRenamed = true;
        addSubTask(new FileRenameTaskSpecification(target, backup, &rollbackList, this, 0.1));
        rest = base - 0.1;
    }

    if (specification.hasUnzip()) {
        addSubTask(new FileUnzipTaskSpecification(&rollbackList, source, target, this, rest - 0.2));
        addSubTask(new CheckSignatureTaskSpecification(target, specification.unpackedMd5, true, this, 0.2));
    } else {
        addSubTask(new FileCopyTaskSpecification(&rollbackList, source, target, this, rest));
    }

    state = Running;
    executeSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() != Finished) {
        // The new file goes, then the backup gets the installed name back.
        rollbackList.rollback(this);
        ComposedTaskSpecification::subtasksDone();
        return;
    }

    if (stageRollbackList)
        stageRollbackList->appendList(rollbackList);
    const QString destName = QFileInfo(specification.pureDestFilePath()).fileName();
    if (oldFileRenamed && deleteList && !configuration->isSpecialFileName(destName))
        deleteList->append(specification.oldDestFileName());
    makeSingleFileExecutable(Configuration::getAppRootPath() + QLatin1Char('/') + specification.destFileName(QString()));
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString& path)
{
    const QFileInfo info(path);
    if (executableFiles.contains(info.fileName()) || executableSuffixes.contains(info.completeSuffix()))
        QFile::setPermissions(path, ProgramPermissions);
}

void FileReplaceTaskSpecification::reset()
{
    clearSubTasks();
    rollbackList.rollback(this);
    oldFileRenamed = false;
    TaskSpecification::reset();
}
