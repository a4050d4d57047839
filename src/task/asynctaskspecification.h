#pragma once

#include "task/taskspecification.h"

#include <QRunnable>

// The work of a background task. It is created on the main thread holding
// copies of everything it needs, then runs and dies on a thread of the global
// pool. It receives no signals; everything it emits reaches its task through
// queued connections.
class ASyncFunc : public QObject
{
    Q_OBJECT

public:
    ASyncFunc();
    ~ASyncFunc() override;

    // The work itself; true on success.
    virtual bool run() = 0;
    // Runs the work and reports its result with runResult.
    void execute();

signals:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    // Fraction (0..1) of the work done.
    void progress(qreal progress);
};

// Carries one work object onto the pool; the pool deletes the runnable, and
// with it the work object, on the pool thread once run() has returned.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc* func);
    ~ASyncRun() override;

    void run() override;

    ASyncFunc* func;
};

// A leaf task whose work runs on QThreadPool::globalInstance(). The task
// itself stays on the main thread; it ends from the event loop when the work's
// result arrives, never inside execute(). A cancel request does not interrupt
// the work: the task ends by the work's result.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ASyncTaskSpecification(QObject* parent, double weight);
    ~ASyncTaskSpecification() override;

    void execute() override;
    // Blocks until the global pool is idle (all background work, not only this
    // task's), then returns the task to Ready. The result of the work that was
    // running arrives later and is ignored.
    void reset() override;

    // Builds the work object from the task's fields.
    virtual ASyncFunc* createFunction() = 0;
    // Connects the work object's signals to this task, all queued.
    virtual void connectDefaultSignals(ASyncFunc* f);
    // Ends the task from the work's result, but only while it is Running.
    // Overrides keep that rule and end with exactly one of finish() and
    // errorCancel().
    virtual void runDone(bool res);

private slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);

private:
    void onResultOfRun(quint64 run, bool res);

    // Number of the current execution; reset() also moves it on, so a result
    // or progress of earlier work is recognised as stale.
    quint64 currentRun = 0;
};
