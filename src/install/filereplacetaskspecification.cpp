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

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Writes a file's data and its directory entry through to the device.
bool writeThrough(const QString& path)
{
    const auto syncPath = [](const QString& p, int flags) {
        const int fd = ::open(QFile::encodeName(p).constData(), flags | O_CLOEXEC);
        if (fd < 0)
            return false;
        // EINVAL: a file system that cannot sync; nothing more can be done.
        const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
        ::close(fd);
        return ok;
    };
    return syncPath(path, O_RDONLY) && syncPath(QFileInfo(path).absolutePath(), O_RDONLY | O_DIRECTORY);
}

// Whether a file can be moved to a path by renaming: the file exists and
// lies on the same file system as the directory of the path.
bool canMoveTo(const QString& file, const QString& path)
{
    struct stat from;
    struct stat to;
    return ::stat(QFile::encodeName(file).constData(), &from) == 0
        && ::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &to) == 0
        && from.st_dev == to.st_dev;
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
    } else if (canMoveTo(source, target)) {
        // The checked download itself becomes the installed file: no bytes
        // are copied, and the undo moves it back, so that a resumed run
        // still finds it in the temporary directory.
        addSubTask(new FileRenameTaskSpecification(source, target, &rollbackList, this, rest));
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

    const QString target = Configuration::getAppRootPath() + QLatin1Char('/') + specification.destFileName(QString());
    const QString destName = QFileInfo(specification.pureDestFilePath()).fileName();
    const bool ownFile = configuration->isSpecialFileName(destName);
    // A client file damaged by a crash is found and fetched again by the
    // next run, which checks every installed file; a damaged updater could
    // not run at all. So the updater's own files are on the disk before
    // their replacement counts as done.
    if (ownFile && !writeThrough(target)) {
        emit message(tr("Could not write '%1' to disk").arg(target));
        rollbackList.rollback(this);
        errorCancel();
        return;
    }

    if (stageRollbackList)
        stageRollbackList->appendList(rollbackList);
    if (oldFileRenamed && deleteList && !ownFile)
        deleteList->append(specification.oldDestFileName());
    makeSingleFileExecutable(target);
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
