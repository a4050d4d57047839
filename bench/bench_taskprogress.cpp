// Cost of the composed task's bookkeeping as the number of subtasks grows:
// one progress signal of a subtask, adding a subtask, and starting and ending
// a subtask through the scheduler. Run by hand:
//
//   build/bench/bench_taskprogress [signals]
//
// A download stage has one subtask per file and each of them reports
// progress for every chunk received, so these costs have to stay flat.

#include "task/composedtaskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cstdio>
#include <memory>

namespace {

class BenchLeaf : public TaskSpecification
{
    Q_OBJECT
public:
    BenchLeaf(bool endsAtOnce, QObject* parent, double weight)
        : TaskSpecification(parent, weight), endsAtOnce(endsAtOnce)
    {
    }
    void execute() override
    {
        state = Running;
        if (endsAtOnce)
            finish();
    }

private:
    bool endsAtOnce;
};

class BenchComposite : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    BenchComposite(int maxRunning) : ComposedTaskSpecification(maxRunning, 1.0, nullptr) { }
    void execute() override { executeSubTasks(); }
};

double fullSum(const ComposedTaskSpecification& composed)
{
    double sum = 0.0;
    for (const TaskSpecification* task : composed.subTasks)
        sum += task->weightedProgress;
    return sum;
}

struct Figures
{
    double addNs;
    double slidingNs;
    double randomNs;
    double fullPassNs;
    double deviation;
    double scheduleNs;
    double discardNs;
    double destroyNs;
};

Figures measure(int n, qint64 signalCount)
{
    Figures f{};
    QElapsedTimer timer;
    QRandomGenerator random(42);

    {
        BenchComposite composed(4);
        timer.start();
        for (int i = 0; i < n; ++i)
            composed.addSubTask(new BenchLeaf(false, &composed, 1.0 / n));
        f.addNs = double(timer.nsecsElapsed()) / n;

        // As in a download stage: a window of four running subtasks moves
        // along the list, each reporting many small steps.
        const qint64 perTask = qMax<qint64>(1, signalCount / n);
        timer.start();
        qint64 sent = 0;
        for (int first = 0; first < n && sent < signalCount; first += 4) {
            const int last = qMin(n, first + 4);
            for (qint64 step = 1; step <= perTask; ++step) {
                for (int i = first; i < last; ++i) {
                    composed.subTasks.at(i)->setProgress(double(step) / perTask);
                    ++sent;
                }
            }
        }
        f.slidingNs = double(timer.nsecsElapsed()) / sent;

        // Any subtask at random: the worst case for the caches.
        timer.start();
        for (qint64 i = 0; i < signalCount; ++i)
            composed.subTasks.at(random.bounded(n))->setProgress(random.generateDouble());
        f.randomNs = double(timer.nsecsElapsed()) / signalCount;
        f.deviation = qAbs(composed.weightedProgress - fullSum(composed));

        // For comparison: a full pass over all subtasks per signal.
        const qint64 passes = qMax<qint64>(10, 20'000'000 / n);
        volatile double sink = 0.0;
        timer.start();
        for (qint64 i = 0; i < passes; ++i)
            sink = sink + fullSum(composed);
        f.fullPassNs = double(timer.nsecsElapsed()) / passes;
    }

    {
        // Every subtask started from the event loop and ended at once.
        BenchComposite composed(4);
        for (int i = 0; i < n; ++i)
            composed.addSubTask(new BenchLeaf(true, &composed, 1.0 / n));
        timer.start();
        composed.execute();
        while (composed.state == TaskSpecification::Running)
            QCoreApplication::processEvents();
        f.scheduleNs = double(timer.nsecsElapsed()) / n;
        if (composed.state != TaskSpecification::Finished)
            std::fprintf(stderr, "scheduling run did not finish\n");

        // Discarding the subtasks as a retry does, with their deferred
        // deletion carried out.
        timer.start();
        composed.clearSubTasks();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        f.discardNs = double(timer.nsecsElapsed()) / n;
    }

    {
        // Destroying a composed task together with its subtasks.
        auto* composed = new BenchComposite(4);
        for (int i = 0; i < n; ++i)
            composed->addSubTask(new BenchLeaf(false, composed, 1.0 / n));
        timer.start();
        delete composed;
        f.destroyNs = double(timer.nsecsElapsed()) / n;
    }
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const qint64 signalCount = argc > 1 ? QByteArray(argv[1]).toLongLong() : 2'000'000;

    std::printf("%d progress signals per size; times in ns\n\n", int(signalCount));
    std::printf("%9s %8s %13s %12s %12s %10s %8s %8s %10s\n", "subtasks", "add", "signal:slide", "signal:rand",
                "full pass", "start+end", "discard", "destroy", "deviation");
    for (int n : {1'000, 10'000, 100'000}) {
        const Figures f = measure(n, signalCount);
        std::printf("%9d %8.0f %13.1f %12.1f %12.0f %10.0f %8.0f %8.0f %10.1e\n", n, f.addNs, f.slidingNs,
                    f.randomNs, f.fullPassNs, f.scheduleNs, f.discardNs, f.destroyNs, f.deviation);
    }
    return 0;
}

#include "bench_taskprogress.moc"
