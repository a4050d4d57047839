#pragma once

#include "task/taskspecification.h"

#include <QSignalSpy>
#include <QStringList>

// Watches one task: its log lines, errors and how it ended.
//     TaskProbe probe(task);
//     task->execute();
//     QVERIFY(probe.waitForEnd());
//     QCOMPARE(task->state, TaskSpecification::Finished);
class TaskProbe
{
public:
    explicit TaskProbe(TaskSpecification* task);

    // Runs the event loop until the task has emitted finished or canceled
    // (at most timeoutMs); true when it has ended exactly once.
    bool waitForEnd(int timeoutMs = 20000);
    bool ended() const { return finished.count() + canceled.count() > 0; }

    // Log lines (message) and error texts (error), in order.
    QStringList messages() const;
    QStringList errors() const;

    QSignalSpy finished;
    QSignalSpy canceled;
    QSignalSpy messageSpy;
    QSignalSpy errorSpy;
};
