#include "install/dircreatetaskspecification.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& path, RollbackDataList* rollbackList,
                                                       QObject* parent, double weight)
    : FastFileOpTaskSpecification(path, rollbackList, parent, weight)
{
}

DirCreateTaskSpecification::~DirCreateTaskSpecification() = default;

bool DirCreateTaskSpecification::doOp()
{
    return tryCreateDir(path);
}

bool DirCreateTaskSpecification::tryCreateDir(const QString& dirPath)
{
    // Without this a trailing "/" would name an empty last component, and
    // the directory would be made inside itself.
    const QString dir = QDir::cleanPath(dirPath);
    const QFileInfo info(dir);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(tr("Could not create dir '%1' because it already exists and is not a dir").arg(dirPath));
        return false;
    }

    const QString parent = info.path();
    if (parent == QLatin1String(".") || info.isRoot()) {
        // A bare relative name: there is nothing to anchor it to.
        emit message(tr("Could not create dir %1").arg(path));
        return false;
    }

    if (!QFileInfo::exists(parent) && !tryCreateDir(parent))
        return false;

    if (!QDir(parent).mkdir(QDir(dir).dirName())) {
        emit message(tr("unable to create dir %1").arg(dir));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::CreateDir, dir));
    return true;
}
