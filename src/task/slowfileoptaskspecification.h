#pragma once

#include "install/rollback.h"
#include "task/asynctaskspecification.h"

#include <QString>

// Work object of a slow file operation: reads source, writes destination.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT

public:
    SlowFileOpFunc(const QString& source, const QString& destination);
    ~SlowFileOpFunc() override;

    QString source;
    QString destination;
};

// A background task that reads one file and writes another. On success the
// written file is recorded in the journal (if any) so that a rollback removes
// it; on failure failureMessage goes to the log and the task fails.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    SlowFileOpSpecification(QString failureMessage, RollbackDataList* rollbackList, const QString& source,
                            const QString& destination, QObject* parent, double weight);
    ~SlowFileOpSpecification() override;

    void runDone(bool res) override;

    RollbackDataList* rollbackList;
    QString source;
    QString destination;
    QString failureMessage;
};
