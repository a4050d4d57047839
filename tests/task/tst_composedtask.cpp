#include "task/composedtaskspecification.h"

#include <QCoreApplication>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Everything the tasks of one test do, in order.
struct EventLog
{
    QStringList entries;
    void add(const QString& entry) { entries << entry; }
    QString joined() const { return entries.join(QLatin1Char(' ')); }
};

// A leaf whose behaviour is given by one letter:
//   f / e / u   finishes, fails (message, then errorCancel) or is canceled by
//               the user synchronously inside execute();
//   F / E / U   stays Running after execute() until the test calls release(),
//               which then finishes, fails or cancels;
//   H           stays Running for good.
// It logs "X+" / "X-" around execute(), its own ends and cancel requests.
class Leaf : public TaskSpecification
{
    Q_OBJECT

public:
    Leaf(const QString& name, QChar mode, EventLog* log, QObject* parent, double weight)
        : TaskSpecification(parent, weight)
        , name(name)
        , mode(mode)
        , log(log)
    {
        connect(this, &TaskSpecification::finished, this, [this] { this->log->add(this->name + u":finished"_s); });
        connect(this, &TaskSpecification::canceled, this, [this] { this->log->add(this->name + u":canceled"_s); });
    }

    void execute() override
    {
        log->add(name + u'+');
        state = Running;
        end(mode);
        log->add(name + u'-');
    }

    void userCanceled() override
    {
        log->add(name + u":cancelreq"_s);
        TaskSpecification::userCanceled();
    }

    void release() { end(mode.toLower()); }

    const QString name;
    const QChar mode;

private:
    void end(QChar how)
    {
        if (how == u'f') {
            finish();
        } else if (how == u'e') {
            emit message(name + u" failed"_s);
            errorCancel();
        } else if (how == u'u') {
            userCancel();
        }
    }

    EventLog* log;
};

// A composed task whose subtasks are added by the test before execute().
class Composite : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    Composite(int maxRunning, double weight, EventLog* log, QObject* parent = nullptr)
        : ComposedTaskSpecification(maxRunning, weight, parent)
        , log(log)
    {
        if (!log)
            return;
        connect(this, &TaskSpecification::finished, this, [this] { this->log->add(QStringLiteral("P:finished")); });
        connect(this, &TaskSpecification::canceled, this, [this] { this->log->add(QStringLiteral("P:canceled")); });
        connect(this, &TaskSpecification::message, this,
                [this](const QString& text) { this->log->add(u"P:msg("_s + text + u')'); });
    }

    void execute() override { executeSubTasks(); }

    void subtasksDone() override
    {
        if (log)
            log->add(QStringLiteral("P:done"));
        ComposedTaskSpecification::subtasksDone();
    }

private:
    EventLog* log;
};

// Reports fixed transfer figures.
class TickLeaf : public TaskSpecification
{
    Q_OBJECT

public:
    TickLeaf(quint64 done, quint64 total, quint64 speed, bool downloading, QObject* parent)
        : TaskSpecification(parent, 0.0), done(done), total(total), speed(speed), downloading(downloading)
    {
    }
    void execute() override { }
    void timeTick(quint64& d, quint64& t, quint64& s, bool& active) override
    {
        d = done;
        t = total;
        s = speed;
        active = downloading;
    }

private:
    quint64 done, total, speed;
    bool downloading;
};

void drainEvents()
{
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
}

} // namespace

class TestComposedTask : public QObject
{
    Q_OBJECT

private slots:
    void scheduling_data();
    void scheduling();
    void progressIsWeighted();
    void runningSumMatchesFullSum();
    void timeTickAddsUpSubtasks_data();
    void timeTickAddsUpSubtasks();
    void endsTravelUpTheTree_data();
    void endsTravelUpTheTree();
    void clearSubTasksDisconnectsAndDeletesLater();
    void destructionDisposesOfSubtasks();
    void leafResetClearsCancelRequest();
};

// Script tokens: "exec" (logged as "( ... )" around execute()), "drain" (run
// the event loop until idle), "cancel" (userCanceled() on the composed task),
// a leaf letter (release that leaf), and "renew:<modes>" (discard the
// subtasks as a retrying task does, reset, and add new leaves).
void TestComposedTask::scheduling_data()
{
    QTest::addColumn<int>("maxRunning");
    QTest::addColumn<QString>("modes");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expectedLog");
    QTest::addColumn<int>("expectedState");

    QTest::newRow("no subtasks: finished inside executeSubTasks")
        << 1 << "" << "exec drain" << "( P:done P:finished )" << int(TaskSpecification::Finished);
    QTest::newRow("one at a time: each start after an event-loop pass, in order")
        << 1 << "fff" << "exec drain"
        << "( ) A+ A:finished A- B+ B:finished B- C+ C:finished C- P:done P:finished"
        << int(TaskSpecification::Finished);
    QTest::newRow("two at once: a failure starts no third, ends once after the other")
        << 2 << "Fef" << "exec drain A drain"
        << "( ) A+ A- B+ P:msg(B failed) B:canceled B- A:finished P:done P:canceled"
        << int(TaskSpecification::ErrorCanceled);
    QTest::newRow("failure outweighs user cancel (user cancel first)")
        << 2 << "UE" << "exec drain A drain B drain"
        << "( ) A+ A- B+ B- A:canceled P:msg(B failed) B:canceled P:done P:canceled"
        << int(TaskSpecification::ErrorCanceled);
    QTest::newRow("failure outweighs user cancel (failure first)")
        << 2 << "UE" << "exec drain B drain A drain"
        << "( ) A+ A- B+ B- P:msg(B failed) B:canceled A:canceled P:done P:canceled"
        << int(TaskSpecification::ErrorCanceled);
    QTest::newRow("cancel after the last subtask finished: still finished")
        << 1 << "F" << "exec drain A cancel drain"
        << "( ) A+ A- A:finished cancel A:cancelreq P:done P:finished" << int(TaskSpecification::Finished);
    QTest::newRow("cancel while running: reaches all subtasks, starts no more")
        << 1 << "Uf" << "exec drain cancel A drain"
        << "( ) A+ A- cancel A:cancelreq B:cancelreq A:canceled P:done P:canceled"
        << int(TaskSpecification::UserCanceled);
    QTest::newRow("cancel before execute: subtasks not told, none started")
        << 1 << "ff" << "cancel exec drain" << "cancel ( ) P:done P:canceled" << int(TaskSpecification::UserCanceled);
    QTest::newRow("cancel before execute, no subtasks: finished")
        << 1 << "" << "cancel exec drain" << "cancel ( P:done P:finished )" << int(TaskSpecification::Finished);
    QTest::newRow("failed task runs again after its subtasks were renewed")
        << 1 << "e" << "exec drain renew:f exec drain"
        << "( ) A+ P:msg(A failed) A:canceled P:done P:canceled A- ( ) B+ B:finished B- P:done P:finished"
        << int(TaskSpecification::Finished);
    QTest::newRow("start request still queued when renewed: limit holds")
        << 2 << "FH" << "exec drain A renew:HHH exec drain"
        << "( ) A+ A- B+ B- A:finished ( ) C+ C- D+ D-" << int(TaskSpecification::Running);
}

void TestComposedTask::scheduling()
{
    QFETCH(int, maxRunning);
    QFETCH(QString, modes);
    QFETCH(QString, script);
    QFETCH(QString, expectedLog);
    QFETCH(int, expectedState);

    EventLog log;
    Composite composed(maxRunning, 0.5, &log);
    QList<Leaf*> leaves;
    const auto addLeaves = [&](const QString& letters) {
        for (QChar mode : letters) {
            auto* leaf = new Leaf(QString(QChar(char16_t(u'A' + leaves.size()))), mode, &log, &composed, 1.0 / letters.size());
            leaves << leaf;
            composed.addSubTask(leaf);
        }
    };
    addLeaves(modes);

    const QStringList tokens = script.split(u' ');
    for (const QString& token : tokens) {
        if (token == u"exec"_s) {
            log.add(QStringLiteral("("));
            composed.execute();
            log.add(QStringLiteral(")"));
        } else if (token == u"drain"_s) {
            drainEvents();
        } else if (token == u"cancel"_s) {
            log.add(QStringLiteral("cancel"));
            composed.userCanceled();
        } else if (token.startsWith(u"renew:"_s)) {
            composed.clearSubTasks();
            composed.TaskSpecification::reset();
            addLeaves(token.mid(6));
        } else {
            const auto it = std::find_if(leaves.cbegin(), leaves.cend(), [&](Leaf* l) { return l->name == token; });
            QVERIFY2(it != leaves.cend(), qPrintable(token));
            (*it)->release();
        }
    }

    QCOMPARE(log.joined(), expectedLog);
    QCOMPARE(int(composed.state), expectedState);
    if (composed.state == TaskSpecification::Finished)
        QCOMPARE(composed.weightedProgress, 0.5);
    if (composed.state == TaskSpecification::Running)
        QVERIFY(composed.runningTasks.size() <= maxRunning);
}

// Subtasks weighing 0.1 and 0.9 in a composed task of weight 0.4.
void TestComposedTask::progressIsWeighted()
{
    EventLog log;
    Composite composed(1, 0.4, nullptr);
    auto* first = new Leaf(QStringLiteral("A"), u'F', &log, &composed, 0.1);
    auto* second = new Leaf(QStringLiteral("B"), u'F', &log, &composed, 0.9);
    QSignalSpy progress(&composed, &TaskSpecification::updateProgress);
    composed.addSubTask(first);
    composed.addSubTask(second);
    composed.execute();
    drainEvents();
    first->release();
    drainEvents();
    second->setProgress(0.5);
    second->release();
    drainEvents();
    QCOMPARE(composed.state, TaskSpecification::Finished);

    // Two additions, first finished, second half done, second finished, and
    // the composed task's own finish().
    const QList<double> expected{0.0, 0.0, 0.04, 0.22, 0.4, 0.4};
    QCOMPARE(progress.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i)
        QVERIFY2(qAbs(progress.at(i).at(0).toDouble() - expected.at(i)) < 1e-12, qPrintable(QString::number(i)));
    QCOMPARE(progress.constLast().at(0).toDouble(), 0.4); // exactly the weight
}

// The composed task keeps its sum by differences; every value it emits must
// match a full pass over its subtasks, through additions, finishes, resets of
// single subtasks and of the whole task, and discarding the subtasks.
void TestComposedTask::runningSumMatchesFullSum()
{
    const double weight = 0.7;
    Composite composed(1, weight, nullptr);
    EventLog log;
    QRandomGenerator random(20240229);

    double worst = 0.0;
    int emissions = 0;
    connect(&composed, &TaskSpecification::updateProgress, &composed, [&](qreal value) {
        double full = 0.0;
        for (const TaskSpecification* task : std::as_const(composed.subTasks))
            full += task->weightedProgress;
        worst = qMax(worst, qAbs(value - weight * full));
        ++emissions;
    });

    const auto addLeaves = [&](int count) {
        QList<double> weights;
        double total = 0.0;
        for (int i = 0; i < count; ++i) {
            weights << 0.01 + random.generateDouble();
            total += weights.constLast();
        }
        for (double w : std::as_const(weights)) {
            auto* leaf = new Leaf(QStringLiteral("x"), u'H', &log, &composed, w / total);
            // Some subtasks have made progress before they are added.
            if (random.bounded(4) == 0)
                leaf->setProgress(random.generateDouble());
            composed.addSubTask(leaf);
        }
    };
    const auto stir = [&](int updates) {
        for (int i = 0; i < updates; ++i) {
            TaskSpecification* task = composed.subTasks.at(random.bounded(int(composed.subTasks.size())));
            switch (random.bounded(20)) {
            case 0: task->finish(); break;
            case 1: task->reset(); break;
            default: task->setProgress(random.generateDouble()); break;
            }
        }
    };

    addLeaves(300);
    stir(20000);
    composed.reset();
    QCOMPARE(composed.weightedProgress, 0.0);
    stir(5000);
    composed.clearSubTasks();
    addLeaves(50);
    stir(5000);

    QCOMPARE(emissions, 300 + 20000 + 300 + 1 + 5000 + 50 + 5000);
    QVERIFY2(worst < 1e-9, qPrintable(QString::number(worst)));
    composed.finish();
    QCOMPARE(composed.weightedProgress, weight);
}

void TestComposedTask::timeTickAddsUpSubtasks_data()
{
    QTest::addColumn<bool>("secondDownloading");
    QTest::addColumn<bool>("expectedDownloading");

    QTest::newRow("one transfer active") << true << true;
    QTest::newRow("no transfer active") << false << false;
}

// Totals 0, 100 and 200 with done 5, 50 and 100: the 5 bytes of the subtask
// without a total are not counted, every speed is; the counters are added to,
// not zeroed.
void TestComposedTask::timeTickAddsUpSubtasks()
{
    QFETCH(bool, secondDownloading);
    QFETCH(bool, expectedDownloading);

    Composite composed(1, 1.0, nullptr);
    composed.addSubTask(new TickLeaf(5, 0, 7, false, &composed));
    composed.addSubTask(new TickLeaf(50, 100, 11, secondDownloading, &composed));
    composed.addSubTask(new TickLeaf(100, 200, 13, false, &composed));

    quint64 done = 1000, total = 2000, speed = 1;
    bool downloading = true;
    composed.timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(1150));
    QCOMPARE(total, quint64(2300));
    QCOMPARE(speed, quint64(32));
    QCOMPARE(downloading, expectedDownloading);
}

void TestComposedTask::endsTravelUpTheTree_data()
{
    QTest::addColumn<bool>("userCancel");
    QTest::addColumn<int>("expectedState");

    QTest::newRow("user cancel") << true << int(TaskSpecification::UserCanceled);
    QTest::newRow("failure") << false << int(TaskSpecification::ErrorCanceled);
}

// root -> (middle -> (leaf a, leaf b), leaf c). A cancel request reaches every
// task of the tree, started or not; the end of the running leaf ends middle
// and root inside the leaf's own call; errors pass up unchanged.
void TestComposedTask::endsTravelUpTheTree()
{
    QFETCH(bool, userCancel);
    QFETCH(int, expectedState);

    EventLog log;
    Composite root(1, 1.0, nullptr);
    auto* middle = new Composite(1, 0.5, nullptr, &root);
    auto* a = new Leaf(QStringLiteral("A"), userCancel ? u'U' : u'E', &log, middle, 0.5);
    auto* b = new Leaf(QStringLiteral("B"), u'f', &log, middle, 0.5);
    auto* c = new Leaf(QStringLiteral("C"), u'f', &log, &root, 0.5);
    middle->addSubTask(a);
    middle->addSubTask(b);
    root.addSubTask(middle);
    root.addSubTask(c);
    QSignalSpy errors(&root, &TaskSpecification::error);
    QSignalSpy messages(&root, &TaskSpecification::message);

    root.execute();
    drainEvents();
    QCOMPARE(a->state, TaskSpecification::Running);

    if (userCancel) {
        root.userCanceled();
        for (TaskSpecification* task : {static_cast<TaskSpecification*>(middle), static_cast<TaskSpecification*>(a),
                                        static_cast<TaskSpecification*>(b), static_cast<TaskSpecification*>(c)})
            QVERIFY(task->userCancelRequested);
    } else {
        emit a->error(QStringLiteral("disk full"));
    }
    a->release();
    QCOMPARE(int(middle->state), expectedState);
    QCOMPARE(int(root.state), expectedState);

    drainEvents();
    QCOMPARE(b->state, TaskSpecification::Ready);
    QCOMPARE(c->state, TaskSpecification::Ready);
    QCOMPARE(errors.size(), userCancel ? 0 : 1);
    if (!userCancel) {
        QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("disk full"));
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("A failed"));
    }
}

void TestComposedTask::clearSubTasksDisconnectsAndDeletesLater()
{
    EventLog log;
    Composite composed(1, 1.0, &log);
    QPointer<Leaf> leaf = new Leaf(QStringLiteral("A"), u'F', &log, &composed, 1.0);
    composed.addSubTask(leaf);
    composed.execute();
    drainEvents();
    leaf->setProgress(0.5);
    QCOMPARE(composed.weightedProgress, 0.5);

    composed.clearSubTasks();
    QVERIFY(composed.subTasks.isEmpty() && composed.pendingTasks.isEmpty() && composed.runningTasks.isEmpty()
            && composed.doneTasks.isEmpty());
    QVERIFY(!leaf.isNull()); // deletion is deferred

    QSignalSpy progress(&composed, &TaskSpecification::updateProgress);
    leaf->release(); // no longer reaches the composed task
    QCOMPARE(progress.size(), 0);
    QCOMPARE(composed.state, TaskSpecification::Running);

    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(leaf.isNull());

    // Only subtasks added afterwards count towards the progress.
    auto* next = new Leaf(QStringLiteral("B"), u'F', &log, &composed, 1.0);
    next->setProgress(0.25);
    composed.addSubTask(next);
    QCOMPARE(composed.weightedProgress, 0.25);
}

// Subtasks that are the composed task's Qt children die with it; a subtask
// owned elsewhere is disconnected and deleted later.
void TestComposedTask::destructionDisposesOfSubtasks()
{
    EventLog log;
    QObject elsewhere;
    auto* composed = new Composite(1, 1.0, nullptr);
    QPointer<Leaf> child = new Leaf(u"A"_s, u'F', &log, composed, 0.5);
    QPointer<Leaf> foreign = new Leaf(u"B"_s, u'F', &log, &elsewhere, 0.5);
    composed->addSubTask(child);
    composed->addSubTask(foreign);

    delete composed;
    QVERIFY(child.isNull());
    QVERIFY(!foreign.isNull());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(foreign.isNull());
}

void TestComposedTask::leafResetClearsCancelRequest()
{
    EventLog log;
    Leaf leaf(QStringLiteral("A"), u'F', &log, nullptr, 0.3);
    leaf.execute();
    leaf.setProgress(0.5);
    leaf.userCanceled();
    QSignalSpy progress(&leaf, &TaskSpecification::updateProgress);

    leaf.reset();
    QCOMPARE(leaf.state, TaskSpecification::Ready);
    QVERIFY(!leaf.userCancelRequested);
    QCOMPARE(progress.size(), 1);
    QCOMPARE(progress.at(0).at(0).toDouble(), 0.0);
}

QTEST_GUILESS_MAIN(TestComposedTask)
#include "tst_composedtask.moc"
