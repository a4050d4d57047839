#include "app/configuration.h"
#include "contexttranslator.h"
#include "filefixtures.h"
#include "install/filedeletelisttaskspecification.h"
#include "taskprobe.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace FileFixtures;

// The last stage of a run: deletes what the list names, one after the
// other, and never fails over a file it cannot delete.
class TestFileDeleteList : public QObject
{
    Q_OBJECT

private:
    ContextTranslator translator;
    QTemporaryDir* temp = nullptr;

private slots:
    void initTestCase() { QCoreApplication::installTranslator(&translator); }
    void init()
    {
        temp = new QTemporaryDir;
        QVERIFY(temp->isValid());
        Configuration::setAppRootPath(temp->path());
    }
    void cleanup()
    {
        Configuration::setAppRootPath(QString());
        delete temp;
        temp = nullptr;
    }

    void deleteList_data();
    void deleteList();
    void emptyList();
};

void TestFileDeleteList::deleteList_data()
{
    QTest::addColumn<QStringList>("present"); // "/" at the end: a directory
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QStringList>("remaining"); // of the present entries

    QTest::newRow("a missing and a present file")
        << QStringList{u"present.txt"_s, u"other.txt"_s} << QStringList{u"gone.txt"_s, u"present.txt"_s}
        << QStringList{u"other.txt"_s};
    QTest::newRow("backups in subdirectories") << QStringList{u"lib/_old_a.so"_s, u"lib/a.so"_s}
                                               << QStringList{u"lib/_old_a.so"_s} << QStringList{u"lib/a.so"_s};
    QTest::newRow("a directory is left, silently")
        << QStringList{u"dir/"_s, u"f"_s} << QStringList{u"dir"_s, u"f"_s} << QStringList{u"dir"_s};
}

void TestFileDeleteList::deleteList()
{
    QFETCH(QStringList, present);
    QFETCH(QStringList, list);
    QFETCH(QStringList, remaining);

    const QDir root(temp->path());
    for (const QString& entry : std::as_const(present)) {
        if (entry.endsWith(u'/'))
            QVERIFY(root.mkpath(entry));
        else
            QVERIFY(writeFile(root.filePath(entry), entry.toUtf8()));
    }
    QList<QString> deleteList;
    FileDeleteListTaskSpecification stage(&deleteList, nullptr, 0.05);
    // Entries added after the stage was built (as the installation adds its
    // backups) count when it starts.
    deleteList = list;
    TaskProbe probe(&stage);
    stage.execute();

    QCOMPARE(stage.subTasks.size(), list.size());
    for (const TaskSpecification* task : std::as_const(stage.subTasks))
        QCOMPARE(task->parentProgressRange, 1.0 / list.size());
    QVERIFY(probe.waitForEnd());
    QCOMPARE(stage.state, TaskSpecification::Finished);
    QCOMPARE(stage.weightedProgress, 0.05);
    QCOMPARE(probe.messages(),
             QStringList{ContextTranslator::tagged("FileDeleteListTaskSpecification", u"Starting file deletes"_s)});

    QStringList left;
    for (QString entry : std::as_const(present)) {
        if (entry.endsWith(u'/'))
            entry.chop(1);
        if (QFileInfo::exists(root.filePath(entry)))
            left << entry;
    }
    QCOMPARE(left, remaining);
}

void TestFileDeleteList::emptyList()
{
    QList<QString> deleteList;
    FileDeleteListTaskSpecification stage(&deleteList, nullptr, 0.05);
    TaskProbe probe(&stage);
    stage.execute();
    QCOMPARE(probe.finished.count(), 1); // before execute() returned
    QCOMPARE(stage.state, TaskSpecification::Finished);
    QCOMPARE(stage.weightedProgress, 0.05);
}

QTEST_GUILESS_MAIN(TestFileDeleteList)
#include "tst_filedeletelist.moc"
