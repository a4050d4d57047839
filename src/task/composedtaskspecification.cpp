#include "task/composedtaskspecification.h"

#include <QMetaObject>

#include <cmath>

void ComposedTaskSpecification::ProgressSum::add(double x)
{
    const double t = sum + x;
    if (std::fabs(sum) >= std::fabs(x))
        compensation += (sum - t) + x;
    else
        compensation += (x - t) + sum;
    sum = t;
}

ComposedTaskSpecification::ComposedTaskSpecification(int maxRunningTasks, double weight, QObject* parent)
    : TaskSpecification(parent, weight)
    , maxRunningTasks(maxRunningTasks)
    , subTaskCanceled(false)
    , doneReported(false)
{
    // Every emission of startNextTask() becomes one queued call of
    // onStartNextTask(), tagged with the current execution.
    connect(this, &ComposedTaskSpecification::startNextTask, this, [this] {
        const quint64 epoch = startEpoch;
        QMetaObject::invokeMethod(
            this,
            [this, epoch] {
                if (epoch == startEpoch)
                    onStartNextTask();
            },
            Qt::QueuedConnection);
    }, Qt::DirectConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    // Like clearSubTasks(), except that subtasks which are this task's Qt
    // children are left to the parent relation, which destroys them right
    // after this. A deferred deletion for each of them would be withdrawn
    // again one by one, and every withdrawal searches the thread's whole
    // queue of posted events: quadratic in the number of subtasks.
    for (TaskSpecification* task : std::as_const(subTasks)) {
        disconnect(task, nullptr, this, nullptr);
        if (task->parent() != this)
            task->deleteLater();
    }
}

void ComposedTaskSpecification::addSubTask(TaskSpecification* task)
{
    subTasks.append(task);
    pendingTasks.append(task);
    task->progressCountedByParent = task->weightedProgress;
    progressSum.add(task->weightedProgress);
    connectSignals(task);
    onUpdateProgress(0);
}

void ComposedTaskSpecification::connectSignals(TaskSpecification* task)
{
    connect(task, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    // The progress connection knows its subtask, so that the running sum can
    // be corrected by that subtask's difference alone.
    connect(task, &TaskSpecification::updateProgress, this, [this, task] { onSubTaskProgress(task); });
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
}

void ComposedTaskSpecification::executeSubTasks()
{
    state = Running;
    const qsizetype n = qMin<qsizetype>(pendingTasks.size(), maxRunningTasks);
    if (n <= 0) {
        subtasksDone();
        return;
    }
    for (qsizetype i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (pendingTasks.isEmpty() || subTaskCanceled || userCancelRequested) {
        if (runningTasks.isEmpty() && !doneReported) {
            doneReported = true;
            subtasksDone();
        }
        return;
    }
    TaskSpecification* task = pendingTasks.takeFirst();
    runningTasks.append(task);
    task->execute();
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* task)
{
    runningTasks.removeOne(task);
    doneTasks.append(task);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* task)
{
    runningTasks.removeOne(task);
    doneTasks.append(task);
    subTaskCanceled = true;
    if (runningTasks.isEmpty() && !doneReported) {
        doneReported = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onSubTaskProgress(TaskSpecification* task)
{
    const double now = task->weightedProgress;
    progressSum.add(now);
    progressSum.add(-task->progressCountedByParent);
    task->progressCountedByParent = now;
    onUpdateProgress(now);
}

void ComposedTaskSpecification::onUpdateProgress(qreal)
{
    // The value received is not used: the task's progress is the sum over
    // all subtasks, which progressSum holds.
    setProgress(progressSum.value());
}

void ComposedTaskSpecification::recountProgress()
{
    progressSum.clear();
    for (TaskSpecification* task : std::as_const(subTasks)) {
        task->progressCountedByParent = task->weightedProgress;
        progressSum.add(task->weightedProgress);
    }
}

ComposedTaskSpecification::TaskState ComposedTaskSpecification::getStateFromSubTasks() const
{
    bool anyUserCanceled = false;
    bool allFinished = true;
    for (const TaskSpecification* task : subTasks) {
        if (task->state == ErrorCanceled)
            return ErrorCanceled;
        if (task->state == UserCanceled)
            anyUserCanceled = true;
        if (task->state != Finished)
            allFinished = false;
    }
    if (anyUserCanceled)
        return UserCanceled;
    if (allFinished)
        return Finished;
    if (userCancelRequested)
        return UserCanceled;
    if (subTaskCanceled)
        return ErrorCanceled;
    return Running;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (getStateFromSubTasks()) {
    case Finished:
        finish();
        break;
    case UserCanceled:
        userCancel();
        break;
    default:
        // A subtask still pending or running counts as a failure too.
        errorCancel();
        break;
    }
}

void ComposedTaskSpecification::userCanceled()
{
    userCancelRequested = true;
    if (state != Running)
        return;
    // A subtask may end, and its parent reset, inside its cancel call; walk a
    // copy so that the loop is not disturbed (discarded tasks are only
    // deleted later).
    const QList<TaskSpecification*> tasks = subTasks;
    for (TaskSpecification* task : tasks)
        task->userCanceled();
}

void ComposedTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading)
{
    downloading = false;
    for (TaskSpecification* task : std::as_const(subTasks)) {
        quint64 done = 0;
        quint64 total = 0;
        quint64 sinceLastTick = 0;
        bool active = false;
        task->timeTick(done, total, sinceLastTick, active);
        downloading = downloading || active;
        speed += sinceLastTick;
        if (total != 0) {
            downloadDone += done;
            downloadTotal += total;
        }
    }
}

void ComposedTaskSpecification::reset()
{
    ++startEpoch;
    const QList<TaskSpecification*> tasks = subTasks;
    for (TaskSpecification* task : tasks)
        task->reset();
    pendingTasks = subTasks;
    runningTasks.clear();
    doneTasks.clear();
    subTaskCanceled = false;
    doneReported = false;
    recountProgress();
    TaskSpecification::reset();
}

void ComposedTaskSpecification::clearSubTasks()
{
    ++startEpoch;
    for (TaskSpecification* task : std::as_const(subTasks)) {
        disconnect(task, nullptr, this, nullptr);
        task->deleteLater();
    }
    subTasks.clear();
    pendingTasks.clear();
    runningTasks.clear();
    doneTasks.clear();
    progressSum.clear();
    // The flags describe the subtasks just discarded; a later execution with
    // new subtasks starts from a clean slate.
    subTaskCanceled = false;
    doneReported = false;
}
