#pragma once

#include "task/fastfileoptaskspecification.h"

// Renames sourcePath to path; an existing file of the new name is never
// replaced. A successful rename is recorded so that a rollback renames the
// file back.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileRenameTaskSpecification(const QString& from, const QString& to, RollbackDataList* rollbackList,
                                QObject* parent, double weight);
    ~FileRenameTaskSpecification() override;

    bool doOp() override;

    QString sourcePath;
};
