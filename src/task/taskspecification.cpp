#include "task/taskspecification.h"

TaskSpecification::TaskSpecification(QObject* parent, double weight)
    : QObject(parent)
    , userCancelRequested(false)
    , parentProgressRange(weight)
    , weightedProgress(0.0)
    , state(Ready)
{
}

TaskSpecification::~TaskSpecification() = default;

void TaskSpecification::reset()
{
    userCancelRequested = false;
    state = Ready;
    setProgress(0.0);
}

void TaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::userCanceled()
{
    userCancelRequested = true;
}

void TaskSpecification::finish()
{
    state = Finished;
    setProgress(1.0);
    emit finished(this);
}

void TaskSpecification::errorCancel()
{
    state = ErrorCanceled;
    emit canceled(this);
}

void TaskSpecification::userCancel()
{
    state = UserCanceled;
    emit canceled(this);
}

void TaskSpecification::setProgress(double doneFrac)
{
    weightedProgress = doneFrac * parentProgressRange;
    emit updateProgress(weightedProgress);
}

void TaskSpecification::setParentProgressRange(double weight)
{
    parentProgressRange = weight;
}
