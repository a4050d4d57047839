#pragma once

#include "install/rollback.h"
#include "task/taskspecification.h"

#include <QString>

// A quick file-system operation done synchronously: the task has ended when
// execute() returns.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    // rollbackList may be null: then nothing is recorded.
    FastFileOpTaskSpecification(const QString& path, RollbackDataList* rollbackList, QObject* parent, double weight);
    ~FastFileOpTaskSpecification() override;

    // Runs doOp() and ends the task with its outcome.
    void execute() override;

    // The operation; true on success. On failure it emits its reason with
    // message before returning false.
    virtual bool doOp() = 0;

    // Records one change made by doOp(), if there is a journal.
    void addRollbackOp(RollbackData op);

    RollbackDataList* rollbackList;
    QString path;
};
