#pragma once

#include <QObject>
#include <QString>

class ComposedTaskSpecification;

// One step of an update run. A task is executed once, reports progress, log
// lines and errors through its signals and ends in exactly one way: finished,
// failed (ErrorCanceled) or stopped at the user's request (UserCanceled).
// Tasks form a tree whose inner nodes are ComposedTaskSpecification objects;
// all of them live on the main thread.
//
// Progress is weighted: a task covers the share parentProgressRange of its
// parent's progress, and the value it emits with updateProgress is already
// multiplied by that share.
class TaskSpecification : public QObject
{
    Q_OBJECT

public:
    enum TaskState {
        Ready = 0,         // built or reset, not started
        Running = 1,
        Finished = 2,      // ended with success
        ErrorCanceled = 3, // ended with failure
        UserCanceled = 4   // ended because the user asked to stop
    };
    Q_ENUM(TaskState)

    TaskSpecification(QObject* parent, double weight);
    ~TaskSpecification() override;

    // Starts the task. It may end the task before it returns.
    virtual void execute() = 0;
    // Returns the task to Ready so that it can be executed again; emits
    // updateProgress(0).
    virtual void reset();
    // Transfer figures, polled once a second: bytes received, bytes expected,
    // bytes since the previous tick, and whether a transfer is active. This
    // version reports nothing (all zero / false).
    virtual void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading);
    // The user asks the task to stop. This version only remembers the request;
    // tasks whose work can be interrupted act on it.
    virtual void userCanceled();

    // Ends the task with success: progress becomes the full weight, then
    // finished(this). None of the three ending calls checks the current state.
    void finish();
    // Ends the task with failure. Emit the reason (message or error) first.
    void errorCancel();
    // Ends the task because the user asked it to stop.
    void userCancel();
    // Sets the fraction done (0..1) and emits the weighted value.
    void setProgress(double doneFrac);
    // Replaces the weight; nothing is emitted.
    void setParentProgressRange(double weight);

    bool userCancelRequested;
    double parentProgressRange; // the weight: share of the parent's progress
    double weightedProgress;    // fraction done times parentProgressRange
    TaskState state;

signals:
    void finished(TaskSpecification* task);
    void canceled(TaskSpecification* task);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);

private:
    friend class ComposedTaskSpecification;
    // The value of weightedProgress that the composed parent has last added
    // into its running sum; only the parent reads and writes it.
    double progressCountedByParent = 0.0;
};
