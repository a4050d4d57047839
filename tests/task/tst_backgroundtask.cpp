#include "install/rollback.h"
#include "task/asynctaskspecification.h"
#include "task/fastfileoptaskspecification.h"
#include "task/slowfileoptaskspecification.h"

#include <QCoreApplication>
#include <QSemaphore>
#include <QTest>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

// Lets a test hold a work object on its pool thread until it says so.
struct Gate
{
    QSemaphore started;
    QSemaphore proceed;
    std::atomic<bool> ended{false};

    // A failed check may leave work waiting here: let it go and wait for it,
    // so that no pool thread outlives the gate.
    ~Gate()
    {
        proceed.release(2);
        QThreadPool::globalInstance()->waitForDone();
    }
};

// What one run of a test work object does: log a line, report half of its
// work done, optionally wait at the gate, and return its result. It notes the
// threads it ran and died on.
struct WorkPlan
{
    bool result = true;
    Gate* gate = nullptr;
    std::atomic<QThread*>* runThread = nullptr;
    std::atomic<QThread*>* deathThread = nullptr;
};

bool doPlannedWork(ASyncFunc* func, const WorkPlan& plan)
{
    if (plan.runThread)
        *plan.runThread = QThread::currentThread();
    emit func->message(u"working"_s);
    emit func->progress(0.5);
    if (plan.gate) {
        plan.gate->started.release();
        plan.gate->proceed.acquire();
        plan.gate->ended = true;
    }
    return plan.result;
}

class PlannedFunc : public ASyncFunc
{
    Q_OBJECT
public:
    explicit PlannedFunc(const WorkPlan& plan) : plan(plan) { }
    ~PlannedFunc() override
    {
        if (plan.deathThread)
            *plan.deathThread = QThread::currentThread();
    }
    bool run() override { return doPlannedWork(this, plan); }

private:
    WorkPlan plan;
};

// A background task whose runs follow the plans given, one per execution.
class PlannedTask : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    PlannedTask(QList<WorkPlan> plans, double weight) : ASyncTaskSpecification(nullptr, weight), plans(plans) { }
    ASyncFunc* createFunction() override { return new PlannedFunc(plans.value(runs++)); }

private:
    QList<WorkPlan> plans;
    int runs = 0;
};

class PlannedSlowFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    PlannedSlowFunc(const QString& source, const QString& destination, const WorkPlan& plan)
        : SlowFileOpFunc(source, destination), plan(plan)
    {
    }
    bool run() override { return doPlannedWork(this, plan); }

private:
    WorkPlan plan;
};

class PlannedSlowOp : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    PlannedSlowOp(const WorkPlan& plan, RollbackDataList* journal, double weight)
        : SlowFileOpSpecification(u"Could not copy 'src' to 'dst'"_s, journal, u"src"_s, u"dst"_s, nullptr, weight)
        , plan(plan)
    {
    }
    ASyncFunc* createFunction() override { return new PlannedSlowFunc(source, destination, plan); }

private:
    WorkPlan plan;
};

// Records the change it is told to make, or fails with a reason.
class FakeFastOp : public FastFileOpTaskSpecification
{
    Q_OBJECT
public:
    FakeFastOp(bool succeeds, RollbackDataList* journal, double weight)
        : FastFileOpTaskSpecification(u"d"_s, journal, nullptr, weight), succeeds(succeeds)
    {
    }
    bool doOp() override
    {
        if (!succeeds) {
            emit message(u"cannot create "_s + path);
            return false;
        }
        addRollbackOp(RollbackData(RollbackData::CreateDir, path));
        return true;
    }

private:
    bool succeeds;
};

// The signals of one task, in order.
class SignalLog : public QObject
{
    Q_OBJECT
public:
    explicit SignalLog(TaskSpecification* task)
    {
        connect(task, &TaskSpecification::finished, this, [this] { entries << u"finished"_s; });
        connect(task, &TaskSpecification::canceled, this, [this] { entries << u"canceled"_s; });
        connect(task, &TaskSpecification::message, this, [this](const QString& t) { entries << u"message("_s + t + u')'; });
        connect(task, &TaskSpecification::error, this, [this](const QString& t) { entries << u"error("_s + t + u')'; });
        connect(task, &TaskSpecification::updateProgress, this,
                [this](qreal p) { entries << u"progress("_s + QString::number(p) + u')'; });
    }
    QString joined() const { return entries.join(u' '); }
    QStringList entries;
};

QStringList describe(const RollbackDataList& journal)
{
    QStringList out;
    for (const RollbackData& record : journal.records())
        out << QString::number(record.operation) + u' ' + record.path;
    return out;
}

void drainEvents()
{
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
}

// Resets the task while its work is held at the gate: the gate opens only
// once the main thread is on its way into reset().
void resetWhileHeld(TaskSpecification& task, Gate& gate)
{
    QSemaphore resetting;
    std::thread helper([&] {
        resetting.acquire();
        gate.proceed.release();
    });
    resetting.release();
    task.reset();
    helper.join();
}

} // namespace

class TestBackgroundTask : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QThreadPool::globalInstance()->waitForDone(); }

    void resultArrivesThroughEventLoop_data();
    void resultArrivesThroughEventLoop();
    void resetWaitsForRunningWork_data();
    void resetWaitsForRunningWork();
    void staleResultDoesNotEndNextRun();
    void fastOperationEndsInsideExecute_data();
    void fastOperationEndsInsideExecute();
    void slowOperationRecordsWrittenFile_data();
    void slowOperationRecordsWrittenFile();
};

void TestBackgroundTask::resultArrivesThroughEventLoop_data()
{
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("expectedLog");
    QTest::addColumn<int>("expectedState");

    // progress(0.5) of the work at weight 0.2 is 0.1.
    QTest::newRow("success") << true << "message(working) progress(0.1) progress(0.2) finished"
                             << int(TaskSpecification::Finished);
    QTest::newRow("failure") << false << "message(working) progress(0.1) canceled"
                             << int(TaskSpecification::ErrorCanceled);
}

void TestBackgroundTask::resultArrivesThroughEventLoop()
{
    QFETCH(bool, result);
    QFETCH(QString, expectedLog);
    QFETCH(int, expectedState);

    std::atomic<QThread*> runThread{nullptr};
    std::atomic<QThread*> deathThread{nullptr};
    PlannedTask task({WorkPlan{result, nullptr, &runThread, &deathThread}}, 0.2);
    SignalLog log(&task);

    task.execute();
    QCOMPARE(task.state, TaskSpecification::Running);
    // Even with the work done, nothing reaches the task outside the event loop.
    QThreadPool::globalInstance()->waitForDone();
    QVERIFY(log.entries.isEmpty());
    QCOMPARE(task.state, TaskSpecification::Running);

    QTRY_COMPARE(log.joined(), expectedLog);
    QCOMPARE(int(task.state), expectedState);
    QVERIFY(runThread.load() && runThread.load() != QThread::currentThread());
    QCOMPARE(deathThread.load(), runThread.load());
}

void TestBackgroundTask::resetWaitsForRunningWork_data()
{
    QTest::addColumn<bool>("slowFileOp");
    QTest::newRow("background task") << false;
    QTest::newRow("slow file operation") << true;
}

// reset() returns only after the work has ended; the late result leaves the
// task Ready (its log line still arrives, its progress does not), and a slow
// file operation still records the file its work wrote.
void TestBackgroundTask::resetWaitsForRunningWork()
{
    QFETCH(bool, slowFileOp);

    Gate gate;
    RollbackDataList journal;
    const WorkPlan plan{true, &gate, nullptr, nullptr};
    PlannedTask plain({plan}, 0.2);
    PlannedSlowOp slow(plan, &journal, 0.2);
    TaskSpecification& task = slowFileOp ? static_cast<TaskSpecification&>(slow) : plain;
    SignalLog log(&task);

    task.execute();
    QVERIFY(gate.started.tryAcquire(1, 10000));
    resetWhileHeld(task, gate);
    QVERIFY(gate.ended);
    QCOMPARE(task.state, TaskSpecification::Ready);

    drainEvents();
    QCOMPARE(task.state, TaskSpecification::Ready);
    QCOMPARE(log.joined(), u"progress(0) message(working)"_s);
    QCOMPARE(task.weightedProgress, 0.0);
    QCOMPARE(describe(journal), slowFileOp ? QStringList{u"1 dst"_s} : QStringList{});
}

// A result of work started before a reset must not end the next execution.
void TestBackgroundTask::staleResultDoesNotEndNextRun()
{
    Gate first, second;
    PlannedTask task({WorkPlan{true, &first, nullptr, nullptr}, WorkPlan{false, &second, nullptr, nullptr}}, 0.2);
    SignalLog log(&task);

    task.execute();
    QVERIFY(first.started.tryAcquire(1, 10000));
    resetWhileHeld(task, first);
    task.execute();
    QVERIFY(second.started.tryAcquire(1, 10000));

    drainEvents(); // the first run's success arrives now
    QCOMPARE(task.state, TaskSpecification::Running);
    QVERIFY(!log.entries.contains(u"finished"_s));

    second.proceed.release();
    QTRY_COMPARE(task.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(log.entries.count(u"canceled"_s), 1);
    QVERIFY(!log.entries.contains(u"finished"_s));
}

void TestBackgroundTask::fastOperationEndsInsideExecute_data()
{
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<bool>("withJournal");
    QTest::addColumn<QString>("expectedLog");
    QTest::addColumn<QStringList>("expectedRecords");

    QTest::newRow("succeeds, recorded") << true << true << "progress(0.2) finished" << QStringList{u"2 d"_s};
    QTest::newRow("succeeds without journal") << true << false << "progress(0.2) finished" << QStringList{};
    QTest::newRow("fails: reason, then canceled") << false << true << "message(cannot create d) canceled"
                                                  << QStringList{};
}

void TestBackgroundTask::fastOperationEndsInsideExecute()
{
    QFETCH(bool, succeeds);
    QFETCH(bool, withJournal);
    QFETCH(QString, expectedLog);
    QFETCH(QStringList, expectedRecords);

    RollbackDataList journal;
    FakeFastOp task(succeeds, withJournal ? &journal : nullptr, 0.2);
    SignalLog log(&task);

    task.execute();
    QCOMPARE(log.joined(), expectedLog); // all of it before execute() returned
    QCOMPARE(task.state, succeeds ? TaskSpecification::Finished : TaskSpecification::ErrorCanceled);
    QCOMPARE(describe(journal), expectedRecords);
}

void TestBackgroundTask::slowOperationRecordsWrittenFile_data()
{
    QTest::addColumn<bool>("result");
    QTest::addColumn<bool>("withJournal");
    QTest::addColumn<QString>("expectedLog");
    QTest::addColumn<QStringList>("expectedRecords");

    QTest::newRow("success, recorded")
        << true << true << "message(working) progress(0.1) progress(0.2) finished" << QStringList{u"1 dst"_s};
    QTest::newRow("success without journal")
        << true << false << "message(working) progress(0.1) progress(0.2) finished" << QStringList{};
    QTest::newRow("failure: its text, nothing recorded")
        << false << true << "message(working) progress(0.1) message(Could not copy 'src' to 'dst') canceled"
        << QStringList{};
}

void TestBackgroundTask::slowOperationRecordsWrittenFile()
{
    QFETCH(bool, result);
    QFETCH(bool, withJournal);
    QFETCH(QString, expectedLog);
    QFETCH(QStringList, expectedRecords);

    RollbackDataList journal;
    PlannedSlowOp task(WorkPlan{result, nullptr, nullptr, nullptr}, withJournal ? &journal : nullptr, 0.2);
    SignalLog log(&task);

    task.execute();
    QTRY_VERIFY(task.state != TaskSpecification::Running);
    QCOMPARE(log.joined(), expectedLog);
    QCOMPARE(task.state, result ? TaskSpecification::Finished : TaskSpecification::ErrorCanceled);
    QCOMPARE(describe(journal), expectedRecords);
}

QTEST_GUILESS_MAIN(TestBackgroundTask)
#include "tst_backgroundtask.moc"
