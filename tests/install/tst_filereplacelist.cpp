#include "app/configuration.h"
#include "contexttranslator.h"
#include "filefixtures.h"
#include "install/dircreatetaskspecification.h"
#include "install/filedeletelisttaskspecification.h"
#include "install/filereplacelisttaskspecification.h"
#include "install/filereplacetaskspecification.h"
#include "taskprobe.h"
#include "treesnapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using namespace Qt::StringLiterals;
using namespace FileFixtures;

namespace {
FileReplaceSpecification plainEntry(const QString& fileName)
{
    FileReplaceSpecification entry;
    entry.section = u"client"_s;
    entry.fileName = fileName;
    return entry;
}

FileReplaceSpecification packedEntry(const QString& fileName, const QString& unpackedFileName,
                                      const QByteArray& unpacked)
{
    FileReplaceSpecification entry = plainEntry(fileName);
    entry.unpackedFileName = unpackedFileName;
    entry.unpackedMd5 = md5Hex(unpacked);
    entry.unpackedSize = quint64(unpacked.size());
    return entry;
}

QString rollingBack()
{
    return ContextTranslator::tagged("FileReplaceListTaskSpecification", u"rolling back file updates"_s);
}

QStringList warnings(const QStringList& messages)
{
    return messages.filter(u"warning"_s);
}
} // namespace

// The installation stage on real trees: its plan, the whole installation
// undone on a failure or a cancel, and a complete installation followed by
// the deletion stage.
class TestFileReplaceList : public QObject
{
    Q_OBJECT

private:
    ContextTranslator translator;
    QTemporaryDir* temp = nullptr;
    QString app;
    QString tmp;
    Configuration configuration;
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList;
    QStringList fifos;

    QString appPath(const QString& relative) const { return app + u'/' + relative; }
    QString tmpPath(const QString& relative) const { return tmp + u'/' + relative; }
    // A download that is still arriving: whoever reads it waits for feed().
    bool arriving(const QString& relative)
    {
        fifos << tmpPath(relative);
        return makeFifo(tmpPath(relative));
    }
    bool feed(const QString& relative, const QByteArray& data) { return feedFifo(tmpPath(relative), data); }
    static FileReplaceTaskSpecification* replacement(const FileReplaceListTaskSpecification& stage, int i)
    {
        return qobject_cast<FileReplaceTaskSpecification*>(stage.subTasks.value(i));
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::installTranslator(&translator);
        QThreadPool::globalInstance()->setMaxThreadCount(qMax(4, QThreadPool::globalInstance()->maxThreadCount()));
    }
    void init();
    void cleanup();

    void planAndUndoByReset_data();
    void planAndUndoByReset();
    void emptyReplaceList();
    void failedDirectoryUndoesCreatedDirectories();
    void secondFailsWhileThirdCopies();
    void userCancelInTheMiddle();
    void installThenDeleteObsoleteFilesAndBackups();
};

void TestFileReplaceList::init()
{
    temp = new QTemporaryDir;
    QVERIFY(temp->isValid());
    app = temp->path() + u"/app"_s;
    tmp = temp->path() + u"/tmp"_s;
    QVERIFY(QDir().mkpath(app));
    QVERIFY(QDir().mkpath(tmp));
    Configuration::setAppRootPath(app);
    configuration.tempDir = tmp;
    replaceList.clear();
    deleteList.clear();
    fifos.clear();
}

void TestFileReplaceList::cleanup()
{
    // Work still waiting on a pipe after a failed check must not hang the
    // test at its end.
    for (const QString& fifo : std::as_const(fifos))
        releaseFifo(fifo);
    QThreadPool::globalInstance()->waitForDone(10000);
    Configuration::setAppRootPath(QString());
    delete temp;
    temp = nullptr;
}

void TestFileReplaceList::planAndUndoByReset_data()
{
    QTest::addColumn<QStringList>("files");     // plain entries
    QTest::addColumn<QStringList>("installed"); // files already in the installation
    QTest::addColumn<QStringList>("dirTasks");  // relative to the installation
    QTest::addColumn<double>("dirWeight");
    QTest::addColumn<double>("replaceWeight");

    QTest::newRow("a/x, a/x again and b, none existing")
        << QStringList{u"a/x/f1"_s, u"a/x/f2"_s, u"b/f3"_s} << QStringList{} << QStringList{u"a/x"_s, u"b"_s} << 0.05
        << 0.3;
    QTest::newRow("all target directories exist")
        << QStringList{u"f1"_s, u"d/f2"_s, u"d/f3"_s, u"f4"_s} << QStringList{u"d/f2"_s, u"f4"_s} << QStringList{}
        << 0.0 << 0.25;
    QTest::newRow("parents sort before their subdirectories")
        << QStringList{u"m/n/f1"_s, u"m/f2"_s, u"l/f3"_s, u"f4"_s} << QStringList{u"f4"_s}
        << QStringList{u"l"_s, u"m"_s, u"m/n"_s} << 0.1 / 3 << 0.9 / 4;
}

void TestFileReplaceList::planAndUndoByReset()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, installed);
    QFETCH(QStringList, dirTasks);
    QFETCH(double, dirWeight);
    QFETCH(double, replaceWeight);

    for (const QString& file : std::as_const(files)) {
        QVERIFY(writeFile(tmpPath(file), "new " + file.toUtf8()));
        replaceList << plainEntry(file);
    }
    for (const QString& file : std::as_const(installed))
        QVERIFY(writeFile(appPath(file), "old " + file.toUtf8()));
    const TreeSnapshot before = TreeSnapshot::take(app);

    FileReplaceListTaskSpecification stage(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    TaskProbe probe(&stage);
    stage.execute();

    QCOMPARE(stage.subTasks.size(), dirTasks.size() + files.size());
    for (qsizetype i = 0; i < stage.subTasks.size(); ++i) {
        const TaskSpecification* task = stage.subTasks.at(i);
        if (i < dirTasks.size()) {
            const auto* dirTask = qobject_cast<const DirCreateTaskSpecification*>(task);
            QVERIFY(dirTask);
            QCOMPARE(dirTask->path, appPath(dirTasks.at(i)));
            QCOMPARE(dirTask->parentProgressRange, dirWeight);
        } else {
            const auto* fileTask = qobject_cast<const FileReplaceTaskSpecification*>(task);
            QVERIFY(fileTask);
            QCOMPARE(fileTask->specification.fileName, files.at(i - dirTasks.size()));
            QCOMPARE(fileTask->parentProgressRange, replaceWeight);
        }
    }

    QVERIFY(probe.waitForEnd());
    QCOMPARE(stage.state, TaskSpecification::Finished);
    QCOMPARE(stage.weightedProgress, 0.4);
    for (const QString& file : std::as_const(files))
        QCOMPARE(readFile(appPath(file)), "new " + file.toUtf8());
    QCOMPARE(deleteList.size(), installed.size());
    QCOMPARE(probe.messages().first(),
             ContextTranslator::tagged("FileReplaceListTaskSpecification", u"Starting file updates"_s));
    QVERIFY(!probe.messages().contains(rollingBack()));

    // The journal holds the whole installation: a reset undoes all of it.
    TaskProbe undo(&stage);
    stage.reset();
    QCOMPARE(stage.state, TaskSpecification::Ready);
    QVERIFY(stage.rollbackList.isEmpty());
    QCOMPARE(warnings(undo.messages()), QStringList());
    QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(app)), QString());
}

void TestFileReplaceList::emptyReplaceList()
{
    FileReplaceListTaskSpecification stage(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    TaskProbe probe(&stage);
    stage.execute();
    QCOMPARE(probe.finished.count(), 1); // before execute() returned
    QCOMPARE(stage.state, TaskSpecification::Finished);
    QCOMPARE(stage.weightedProgress, 0.4);
    QVERIFY(stage.subTasks.isEmpty());
    QVERIFY(stage.rollbackList.isEmpty());
}

// A target directory that cannot be made fails the stage before any file is
// touched, and the directories made before it go again.
void TestFileReplaceList::failedDirectoryUndoesCreatedDirectories()
{
    QVERIFY(writeFile(appPath(u"z"_s), "a file where a directory should be"_ba));
    for (const QString& file : {u"b/c/f"_s, u"z/x/f"_s}) {
        QVERIFY(writeFile(tmpPath(file), "new"_ba));
        replaceList << plainEntry(file);
    }
    const TreeSnapshot before = TreeSnapshot::take(temp->path());

    FileReplaceListTaskSpecification stage(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    TaskProbe probe(&stage);
    stage.execute();
    QVERIFY(probe.waitForEnd());

    QCOMPARE(stage.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(temp->path())), QString());
    QCOMPARE(probe.messages(),
             (QStringList{ContextTranslator::tagged("FileReplaceListTaskSpecification", u"Starting file updates"_s),
                          ContextTranslator::tagged("DirCreateTaskSpecification", u"unable to create dir %1"_s)
                              .arg(appPath(u"z/x"_s)),
                          rollingBack()}));
    QCOMPARE(replacement(stage, 2)->state, TaskSpecification::Ready);
    QCOMPARE(replacement(stage, 3)->state, TaskSpecification::Ready);
}

// Two replacements run at a time. The second of them fails while the third
// is still copying: nothing more starts, the third completes, and then the
// whole installation (files and created directories) is undone.
void TestFileReplaceList::secondFailsWhileThirdCopies()
{
    // Downloads on the installation's file system are moved into place in
    // no time; the two held ones are packed, so they are unpacked from a pipe.
    QVERIFY(writeFile(tmpPath(u"a/one"_s), "new one"_ba));
    QVERIFY(arriving(u"two.gz"_s));
    QVERIFY(arriving(u"b/three.gz"_s));
    QVERIFY(writeFile(tmpPath(u"four"_s), "new four"_ba));
    QVERIFY(writeFile(appPath(u"two"_s), "old two"_ba));
    QVERIFY(writeFile(appPath(u"b/three"_s), "old three"_ba));
    QVERIFY(writeFile(appPath(u"four"_s), "old four"_ba));
    replaceList << plainEntry(u"a/one"_s) << packedEntry(u"two.gz"_s, u"two"_s, "new two"_ba)
                << packedEntry(u"b/three.gz"_s, u"b/three"_s, "new three"_ba) << plainEntry(u"four"_s);
    const TreeSnapshot before = TreeSnapshot::take(temp->path());

    FileReplaceListTaskSpecification stage(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    TaskProbe probe(&stage);
    stage.execute();
    QCOMPARE(stage.subTasks.size(), 5); // directory a, then the four files
    FileReplaceTaskSpecification* one = replacement(stage, 1);
    FileReplaceTaskSpecification* two = replacement(stage, 2);
    FileReplaceTaskSpecification* three = replacement(stage, 3);
    FileReplaceTaskSpecification* four = replacement(stage, 4);

    // One is done, three has moved its file aside and unpacks, two unpacks.
    QTRY_COMPARE(one->state, TaskSpecification::Finished);
    QTRY_VERIFY(three->subTasks.size() == 3 && three->subTasks.at(1)->state == TaskSpecification::Running);
    QCOMPARE(two->state, TaskSpecification::Running);

    const QByteArray gz = gzipped("new two"_ba);
    QVERIFY(feed(u"two.gz"_s, gz.left(gz.size() / 2)));
    QTRY_COMPARE(two->state, TaskSpecification::ErrorCanceled);
    QTest::qWait(20);
    QCOMPARE(four->state, TaskSpecification::Ready);
    QCOMPARE(three->state, TaskSpecification::Running);
    QCOMPARE(stage.state, TaskSpecification::Running);

    QVERIFY(feed(u"b/three.gz"_s, gzipped("new three"_ba)));
    QVERIFY(probe.waitForEnd());

    QCOMPARE(three->state, TaskSpecification::Finished);
    QCOMPARE(four->state, TaskSpecification::Ready);
    QCOMPARE(stage.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(temp->path())), QString());
    const QStringList messages = probe.messages();
    QVERIFY(messages.contains(ContextTranslator::tagged("FileUnzipTaskSpecification", u"Could not unzip '%1' to '%2'"_s)
                                  .arg(tmpPath(u"two.gz"_s), appPath(u"two"_s))));
    QCOMPARE(messages.last(), rollingBack());
    QCOMPARE(warnings(messages), QStringList());
    QVERIFY(stage.rollbackList.isEmpty());
}

// A cancel in the middle lets the running replacements complete, starts
// nothing more and undoes the whole installation.
void TestFileReplaceList::userCancelInTheMiddle()
{
    QVERIFY(writeFile(tmpPath(u"n/one"_s), "new one"_ba));
    QVERIFY(arriving(u"two.gz"_s));
    QVERIFY(arriving(u"three.gz"_s));
    QVERIFY(writeFile(tmpPath(u"four"_s), "new four"_ba));
    QVERIFY(writeFile(appPath(u"two"_s), "old two"_ba));
    QVERIFY(writeFile(appPath(u"three"_s), "old three"_ba));
    QVERIFY(writeFile(appPath(u"four"_s), "old four"_ba));
    replaceList << plainEntry(u"n/one"_s) << packedEntry(u"two.gz"_s, u"two"_s, "new two"_ba)
                << packedEntry(u"three.gz"_s, u"three"_s, "new three"_ba) << plainEntry(u"four"_s);
    const TreeSnapshot before = TreeSnapshot::take(temp->path());

    FileReplaceListTaskSpecification stage(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    TaskProbe probe(&stage);
    stage.execute();
    QCOMPARE(stage.subTasks.size(), 5);
    FileReplaceTaskSpecification* one = replacement(stage, 1);
    FileReplaceTaskSpecification* two = replacement(stage, 2);
    FileReplaceTaskSpecification* three = replacement(stage, 3);
    FileReplaceTaskSpecification* four = replacement(stage, 4);
    QTRY_COMPARE(one->state, TaskSpecification::Finished);
    QTRY_VERIFY(three->subTasks.size() == 3 && three->subTasks.at(1)->state == TaskSpecification::Running);
    QCOMPARE(two->subTasks.at(1)->state, TaskSpecification::Running);

    stage.userCanceled();
    QVERIFY(feed(u"two.gz"_s, gzipped("new two"_ba)));
    QVERIFY(feed(u"three.gz"_s, gzipped("new three"_ba)));
    QVERIFY(probe.waitForEnd());

    QCOMPARE(stage.state, TaskSpecification::UserCanceled);
    QCOMPARE(four->state, TaskSpecification::Ready);
    QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(temp->path())), QString());
    QCOMPARE(probe.messages().last(), rollingBack());
    QCOMPARE(warnings(probe.messages()), QStringList());
}

// The end of a run: the installation puts the backups on the delete list,
// the deletion stage removes them with the obsolete files, and the
// installation looks exactly as the new version should.
void TestFileReplaceList::installThenDeleteObsoleteFilesAndBackups()
{
    const QByteArray libx = sampleData(200 * 1024, 3);
    QVERIFY(writeFile(appPath(u"update"_s), "old updater"_ba, 0755));
    QVERIFY(writeFile(appPath(u"lib/libx.so"_s), "old library"_ba, 0755));
    QVERIFY(writeFile(appPath(u"obsolete.txt"_s), "obsolete"_ba, 0644));
    QVERIFY(writeFile(appPath(u"keep.txt"_s), "keep"_ba, 0644));
    QVERIFY(writeFile(tmpPath(u"update"_s), "new updater"_ba, 0644));
    QVERIFY(writeFile(tmpPath(u"lib/libx.so.gz"_s), gzipped(libx), 0644));
    QVERIFY(writeFile(tmpPath(u"data/new.txt"_s), "new data"_ba, 0644));
    replaceList << plainEntry(u"update"_s) << packedEntry(u"lib/libx.so.gz"_s, u"lib/libx.so"_s, libx)
                << plainEntry(u"data/new.txt"_s);
    deleteList << u"obsolete.txt"_s << u"gone.txt"_s;

    FileReplaceListTaskSpecification install(&replaceList, &deleteList, &configuration, nullptr, 0.4);
    TaskProbe installProbe(&install);
    install.execute();
    QVERIFY(installProbe.waitForEnd());
    QCOMPARE(install.state, TaskSpecification::Finished);
    // The updater's own backup stays for its next start.
    QList<QString> sorted = deleteList;
    sorted.sort();
    QCOMPARE(sorted, (QList<QString>{u"gone.txt"_s, u"lib/_old_libx.so"_s, u"obsolete.txt"_s}));

    FileDeleteListTaskSpecification deletion(&deleteList, nullptr, 0.05);
    TaskProbe deleteProbe(&deletion);
    deletion.execute();
    QVERIFY(deleteProbe.waitForEnd());
    QCOMPARE(deletion.state, TaskSpecification::Finished);

    QTemporaryDir expectedDir;
    QVERIFY(expectedDir.isValid());
    const QString e = expectedDir.path();
    QVERIFY(writeFile(e + u"/update"_s, "new updater"_ba, 0755));
    QVERIFY(writeFile(e + u"/_old_update"_s, "old updater"_ba, 0755));
    QVERIFY(writeFile(e + u"/lib/libx.so"_s, libx, 0755));
    QVERIFY(writeFile(e + u"/data/new.txt"_s, "new data"_ba, 0644));
    QVERIFY(writeFile(e + u"/keep.txt"_s, "keep"_ba, 0644));
    QCOMPARE(TreeSnapshot::difference(TreeSnapshot::take(e), TreeSnapshot::take(app)), QString());
}

QTEST_GUILESS_MAIN(TestFileReplaceList)
#include "tst_filereplacelist.moc"
