#include "task/slowfileoptaskspecification.h"

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& destination)
    : source(source)
    , destination(destination)
{
}

SlowFileOpFunc::~SlowFileOpFunc() = default;

SlowFileOpSpecification::SlowFileOpSpecification(QString failureMessage, RollbackDataList* rollbackList,
                                                 const QString& source, const QString& destination,
                                                 QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , rollbackList(rollbackList)
    , source(source)
    , destination(destination)
    , failureMessage(std::move(failureMessage))
{
}

SlowFileOpSpecification::~SlowFileOpSpecification() = default;

void SlowFileOpSpecification::runDone(bool res)
{
    // Recorded even when the task was reset meanwhile: the file was written
    // all the same, and a rollback has to remove it.
    if (res) {
        if (rollbackList)
            rollbackList->add(RollbackData(RollbackData::CreateFile, destination));
    } else {
        emit message(failureMessage);
    }
    ASyncTaskSpecification::runDone(res);
}
