#include "install/filerenametaskspecification.h"

#include <QFile>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& from, const QString& to,
                                                         RollbackDataList* rollbackList, QObject* parent,
                                                         double weight)
    : FastFileOpTaskSpecification(to, rollbackList, parent, weight)
    , sourcePath(from)
{
}

FileRenameTaskSpecification::~FileRenameTaskSpecification() = default;

bool FileRenameTaskSpecification::doOp()
{
    if (!QFile::rename(sourcePath, path)) {
        emit message(tr("Could not rename '%1' to '%2'").arg(sourcePath, path));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, path));
    return true;
}
