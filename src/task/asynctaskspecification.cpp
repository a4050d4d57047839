#include "task/asynctaskspecification.h"

#include <QThreadPool>

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
}

ASyncFunc::~ASyncFunc() = default;

void ASyncFunc::execute()
{
    const bool res = run();
    emit runResult(res);
}

ASyncRun::ASyncRun(ASyncFunc* func)
    : func(func)
{
    setAutoDelete(true);
}

ASyncRun::~ASyncRun()
{
    delete func;
}

void ASyncRun::run()
{
    func->execute();
}

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, double weight)
    : TaskSpecification(parent, weight)
{
}

ASyncTaskSpecification::~ASyncTaskSpecification() = default;

void ASyncTaskSpecification::execute()
{
    ASyncFunc* f = createFunction();
    ++currentRun;
    connectDefaultSignals(f);
    QThreadPool::globalInstance()->start(new ASyncRun(f), 0);
    // The result can only arrive through the event loop, later.
    state = Running;
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc* f)
{
    const quint64 run = currentRun;
    connect(f, &ASyncFunc::runResult, this, [this, run](bool res) { onResultOfRun(run, res); },
            Qt::QueuedConnection);
    connect(f, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(f, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(f, &ASyncFunc::progress, this, [this, run](qreal p) {
        if (run == currentRun)
            onProgress(p);
    }, Qt::QueuedConnection);
}

void ASyncTaskSpecification::onResultOfRun(quint64 run, bool res)
{
    // The result of work started before a reset must never end a later
    // execution. While the task is not running, runDone() sees it and ignores
    // it (a slow file operation still records what its work wrote).
    if (run != currentRun && state == Running)
        return;
    onRunResult(res);
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}

void ASyncTaskSpecification::runDone(bool res)
{
    if (state != Running)
        return;
    if (res)
        finish();
    else
        errorCancel();
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone();
    ++currentRun;
    TaskSpecification::reset();
}
