#pragma once

#include "task/taskspecification.h"

#include <QList>

// An inner node of the task tree. It owns an ordered list of subtasks, starts
// them in order with at most maxRunningTasks running at once, sums their
// weighted progress, passes their messages and errors on unchanged, and ends
// once no subtask runs any more and none will be started, with an outcome
// computed from theirs (getStateFromSubTasks).
//
// The start of each subtask is queued through the event loop (startNextTask),
// so a subtask never starts inside the call chain of the one before it.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ComposedTaskSpecification(int maxRunningTasks, double weight, QObject* parent);
    ~ComposedTaskSpecification() override;

    // Resets every subtask and makes all of them pending again. Composed
    // tasks that build their subtasks in execute() discard them instead
    // (clearSubTasks(), then TaskSpecification::reset()).
    void reset() override;
    // Adds up the figures of all subtasks into the given counters (which the
    // caller has zeroed); the total and the bytes done only of subtasks that
    // know their total.
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override;
    // Remembers the request and, while running, passes it to every subtask.
    void userCanceled() override;

    // Called once when no subtask runs any more and none will be started;
    // ends the task according to getStateFromSubTasks().
    virtual void subtasksDone();
    // Connects a new subtask's signals to this task.
    virtual void connectSignals(TaskSpecification* task);

    // Takes ownership of the task and appends it to the pending subtasks.
    void addSubTask(TaskSpecification* task);
    // Sets Running and starts the first subtasks (queued); without pending
    // subtasks the task ends before this returns.
    void executeSubTasks();
    // The state the task should end in, judged from its subtasks.
    TaskState getStateFromSubTasks() const;
    // Disconnects all subtasks from this task, schedules their deletion and
    // forgets them.
    void clearSubTasks();

    QList<TaskSpecification*> subTasks;     // all, in the order added
    QList<TaskSpecification*> pendingTasks; // not yet started, in the order added
    QList<TaskSpecification*> runningTasks; // started and not yet ended
    QList<TaskSpecification*> doneTasks;    // ended, in the order they ended
    int maxRunningTasks;
    bool subTaskCanceled; // a subtask failed or was canceled by the user
    bool doneReported;    // subtasksDone() has been called by the scheduling

signals:
    void startNextTask();

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification* task);
    void onSubTaskCanceled(TaskSpecification* task);

private:
    void onSubTaskProgress(TaskSpecification* task);
    void recountProgress();

    // Running sum of the subtasks' weighted progress, kept up to date by
    // differences so that a progress signal costs the same whatever the
    // number of subtasks. Compensated (Neumaier) summation keeps the rounding
    // error from growing with the number of updates.
    class ProgressSum
    {
    public:
        void add(double x);
        double value() const { return sum + compensation; }
        void clear() { sum = compensation = 0.0; }

    private:
        double sum = 0.0;
        double compensation = 0.0;
    };
    ProgressSum progressSum;

    // Start requests are tagged with the execution they belong to; one still
    // queued when the subtasks are reset or discarded must not start a
    // subtask (or end the task) of a later execution.
    quint64 startEpoch = 0;
};
