#include "taskprobe.h"

#include <QTest>

namespace {
QStringList texts(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& call : spy)
        out << call.at(0).toString();
    return out;
}
} // namespace

TaskProbe::TaskProbe(TaskSpecification* task)
    : finished(task, &TaskSpecification::finished)
    , canceled(task, &TaskSpecification::canceled)
    , messageSpy(task, &TaskSpecification::message)
    , errorSpy(task, &TaskSpecification::error)
{
}

bool TaskProbe::waitForEnd(int timeoutMs)
{
    if (!QTest::qWaitFor([this] { return ended(); }, timeoutMs))
        return false;
    // Let anything queued behind the end run, so that a second end would show.
    QTest::qWait(1);
    return finished.count() + canceled.count() == 1;
}

QStringList TaskProbe::messages() const
{
    return texts(messageSpy);
}

QStringList TaskProbe::errors() const
{
    return texts(errorSpy);
}
