#include "app/configuration.h"
#include "contexttranslator.h"
#include "filefixtures.h"
#include "install/filecopytaskspecification.h"
#include "install/filereplacetaskspecification.h"
#include "install/fileunziptaskspecification.h"
#include "taskprobe.h"
#include "treesnapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <memory>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace FileFixtures;

namespace {
const QByteArray oldContent = "installed version\n"_ba;
const QByteArray newContent = "new version, a little longer\n"_ba;
const QByteArray staleContent = "backup of an earlier run\n"_ba;

FileReplaceSpecification makeEntry(const QString& fileName, const QString& unpackedFileName, const QString& md5)
{
    FileReplaceSpecification entry;
    entry.section = u"client"_s;
    entry.fileName = fileName;
    if (!unpackedFileName.isEmpty()) {
        entry.unpackedFileName = unpackedFileName;
        entry.unpackedMd5 = md5;
        entry.unpackedSize = quint64(newContent.size());
    }
    return entry;
}

// A directory for downloads on another file system than the installation,
// where a download cannot be moved into place and is copied instead; null
// when this machine has none (/dev/shm is normally a separate tmpfs).
QTemporaryDir* otherFileSystemDir(const QString& installation)
{
    auto dir = std::make_unique<QTemporaryDir>(u"/dev/shm/kr3-test-XXXXXX"_s);
    struct stat a;
    struct stat b;
    if (!dir->isValid() || ::stat(QFile::encodeName(dir->path()).constData(), &a) != 0
        || ::stat(QFile::encodeName(installation).constData(), &b) != 0 || a.st_dev == b.st_dev)
        return nullptr;
    return dir.release();
}

// "ClassName weight" for every planned step.
QStringList describePlan(const ComposedTaskSpecification& task)
{
    QStringList out;
    for (const TaskSpecification* step : task.subTasks)
        out << QString::fromLatin1(step->metaObject()->className()) + u' ' + QString::number(step->parentProgressRange);
    return out;
}
} // namespace

// The replacement of one installed file: its plans, what it leaves behind on
// success, and that every failing step leaves the tree as it was.
class TestFileReplace : public QObject
{
    Q_OBJECT

private:
    ContextTranslator translator;
    QTemporaryDir* temp = nullptr;
    QString app; // installation directory
    QString tmp; // the run's temporary directory
    Configuration configuration;
    QList<QString> deleteList;
    RollbackDataList stageJournal;

    QString appPath(const QString& relative) const { return app + u'/' + relative; }
    QString tmpPath(const QString& relative) const { return tmp + u'/' + relative; }

private slots:
    void initTestCase()
    {
        QCoreApplication::installTranslator(&translator);
        // Tests hold up to two pool threads at once.
        QThreadPool::globalInstance()->setMaxThreadCount(qMax(4, QThreadPool::globalInstance()->maxThreadCount()));
    }
    void init();
    void cleanup();

    void plansAndOutcome_data();
    void plansAndOutcome();
    void programFilesAndSpecialFiles_data();
    void programFilesAndSpecialFiles();
    void failingStepRestoresTree_data();
    void failingStepRestoresTree();
    void userCancelRestoresTree();
};

void TestFileReplace::init()
{
    temp = new QTemporaryDir;
    QVERIFY(temp->isValid());
    app = temp->path() + u"/app"_s;
    tmp = temp->path() + u"/tmp"_s;
    QVERIFY(QDir().mkpath(app));
    QVERIFY(QDir().mkpath(tmp));
    Configuration::setAppRootPath(app);
    configuration.tempDir = tmp;
    deleteList.clear();
    stageJournal.clear();
}

void TestFileReplace::cleanup()
{
    QThreadPool::globalInstance()->waitForDone(10000);
    Configuration::setAppRootPath(QString());
    delete temp;
    temp = nullptr;
}

void TestFileReplace::plansAndOutcome_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("unpackedFileName");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<bool>("staleBackup");
    QTest::addColumn<bool>("otherFileSystem");
    QTest::addColumn<QStringList>("plan");

    const QString move = u"FileRenameTaskSpecification"_s;
    const QString copy = u"FileCopyTaskSpecification"_s;
    const QString unzip = u"FileUnzipTaskSpecification"_s;
    const QString verify = u"CheckSignatureTaskSpecification"_s;
    const QString rename = u"FileRenameTaskSpecification 0.1"_s;
    const QString remove = u"FileDeleteTaskSpecification 0.1"_s;

    // A download on the installation's file system is moved into place; one
    // elsewhere is copied. The plans and weights are the same.
    for (const bool other : {false, true}) {
        const QString put = other ? copy : move;
        const char* where = other ? "copied" : "moved";
        QTest::addRow("new file, %s", where)
            << u"data/new.txt"_s << QString() << false << false << other << QStringList{put + u" 1"_s};
        QTest::addRow("backup without installed file: left alone, %s", where)
            << u"data/new.txt"_s << QString() << false << true << other << QStringList{put + u" 1"_s};
        QTest::addRow("installed file, %s", where)
            << u"data/x.txt"_s << QString() << true << false << other << QStringList{rename, put + u" 0.9"_s};
        QTest::addRow("installed file with stale backup, %s", where)
            << u"x.txt"_s << QString() << true << true << other << QStringList{remove, rename, put + u" 0.8"_s};
    }
    QTest::newRow("packed, new") << u"plugins/libx.so.gz"_s << u"plugins/libx.so"_s << false << false << false
                                 << QStringList{unzip + u" 0.8"_s, verify + u" 0.2"_s};
    QTest::newRow("packed, installed") << u"plugins/libx.so.gz"_s << u"plugins/libx.so"_s << true << false << false
                                       << QStringList{rename, unzip + u" 0.7"_s, verify + u" 0.2"_s};
    QTest::newRow("packed, installed with stale backup")
        << u"big.dat.gz"_s << u"big.dat"_s << true << true << false
        << QStringList{remove, rename, unzip + u" 0.6"_s, verify + u" 0.2"_s};
}

void TestFileReplace::plansAndOutcome()
{
    QFETCH(QString, fileName);
    QFETCH(QString, unpackedFileName);
    QFETCH(bool, installed);
    QFETCH(bool, staleBackup);
    QFETCH(bool, otherFileSystem);
    QFETCH(QStringList, plan);

    std::unique_ptr<QTemporaryDir> elsewhere;
    if (otherFileSystem) {
        elsewhere.reset(otherFileSystemDir(app));
        if (!elsewhere)
            QSKIP("no second file system for downloads (/dev/shm)");
        tmp = elsewhere->path();
        configuration.tempDir = tmp;
    }

    const FileReplaceSpecification entry = makeEntry(fileName, unpackedFileName, md5Hex(newContent));
    const QString source = tmpPath(fileName);
    QVERIFY(writeFile(source, entry.hasUnzip() ? gzipped(newContent) : newContent));
    const QString target = appPath(entry.pureDestFilePath());
    const QString backup = appPath(entry.oldDestFileName());
    // Directories are the stage's business; a single replacement expects
    // the target's directory to exist.
    QVERIFY(QDir().mkpath(QFileInfo(target).path()));
    if (installed)
        QVERIFY(writeFile(target, oldContent));
    if (staleBackup)
        QVERIFY(writeFile(backup, staleContent));

    FileReplaceTaskSpecification task(entry, &deleteList, &stageJournal, &configuration, nullptr, 0.5);
    TaskProbe probe(&task);
    task.execute();
    QCOMPARE(describePlan(task), plan);
    QCOMPARE(task.oldFileRenamed, installed);
    QVERIFY(probe.waitForEnd());

    QCOMPARE(task.state, TaskSpecification::Finished);
    QCOMPARE(task.weightedProgress, 0.5);
    QCOMPARE(probe.messages(),
             QStringList{ContextTranslator::tagged("FileReplaceTaskSpecification", u"add/replace %1"_s).arg(fileName)});
    QVERIFY(readFile(target) == newContent);
    if (installed) {
        QVERIFY(readFile(backup) == oldContent);
        QCOMPARE(deleteList, QList<QString>{entry.oldDestFileName()});
        QCOMPARE(stageJournal.size(), 2);
        QCOMPARE(stageJournal.records().at(0).operation, RollbackData::Rename);
        QCOMPARE(stageJournal.records().at(0).originalPath, target);
        QCOMPARE(stageJournal.records().at(0).path, backup);
    } else {
        QCOMPARE(QFileInfo::exists(backup), staleBackup);
        QVERIFY(deleteList.isEmpty());
        QCOMPARE(stageJournal.size(), 1);
    }
    // The new file's record: a moved download goes back to the temporary
    // directory on a rollback, a written file is deleted.
    const RollbackData& placed = stageJournal.records().last();
    QCOMPARE(placed.path, target);
    if (plan.last().startsWith(u"FileRenameTaskSpecification"_s)) {
        QCOMPARE(placed.operation, RollbackData::Rename);
        QCOMPARE(placed.originalPath, source);
        QVERIFY(!QFileInfo::exists(source));
    } else {
        QCOMPARE(placed.operation, RollbackData::CreateFile);
        QVERIFY(QFileInfo::exists(source));
    }
}

void TestFileReplace::programFilesAndSpecialFiles_data()
{
    QTest::addColumn<QString>("destination");
    QTest::addColumn<bool>("packed");
    QTest::addColumn<int>("sourceMode");
    QTest::addColumn<int>("expectedMode");
    QTest::addColumn<bool>("backupDeletedLater");

    // The updater's own files keep their backups until its next start.
    QTest::newRow("update") << u"update"_s << false << 0644 << 0755 << false;
    QTest::newRow("start script") << u"kr3client_runscript.sh"_s << false << 0644 << 0755 << true;
    QTest::newRow("client executable") << u"kr3client_linux_amd64"_s << false << 0600 << 0755 << true;
    QTest::newRow("packed plug-in in a subdirectory") << u"plugins/libx.so"_s << true << 0644 << 0755 << true;
    QTest::newRow("own library, so.4") << u"libQtGui.so.4"_s << false << 0644 << 0755 << false;
    QTest::newRow("own plug-in in a subdirectory") << u"imageformats/libqgif.so"_s << false << 0666 << 0755 << false;
    QTest::newRow("libfoo.so.4.7 keeps its mode") << u"libfoo.so.4.7"_s << false << 0644 << 0644 << true;
    QTest::newRow("settings.conf keeps the source's mode") << u"settings.conf"_s << false << 0640 << 0640 << true;
}

void TestFileReplace::programFilesAndSpecialFiles()
{
    QFETCH(QString, destination);
    QFETCH(bool, packed);
    QFETCH(int, sourceMode);
    QFETCH(int, expectedMode);
    QFETCH(bool, backupDeletedLater);

    const QString fileName = packed ? destination + u".gz"_s : destination;
    const FileReplaceSpecification entry = makeEntry(fileName, packed ? destination : QString(), md5Hex(newContent));
    QVERIFY(writeFile(tmpPath(fileName), packed ? gzipped(newContent) : newContent, sourceMode));
    QVERIFY(writeFile(appPath(destination), oldContent, 0644));

    FileReplaceTaskSpecification task(entry, &deleteList, &stageJournal, &configuration, nullptr, 1.0);
    TaskProbe probe(&task);
    task.execute();
    QVERIFY(probe.waitForEnd());
    QCOMPARE(task.state, TaskSpecification::Finished);

    QCOMPARE(QString::number(fileMode(appPath(destination)), 8), QString::number(expectedMode, 8));
    const QString backup = entry.oldDestFileName();
    QCOMPARE(backup, QFileInfo(destination).path() == u"."_s
                         ? u"_old_"_s + destination
                         : QFileInfo(destination).path() + u"/_old_"_s + QFileInfo(destination).fileName());
    QVERIFY(readFile(appPath(backup)) == oldContent);
    QCOMPARE(deleteList, backupDeletedLater ? QList<QString>{backup} : QList<QString>{});
}

void TestFileReplace::failingStepRestoresTree_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("unpackedFileName");
    QTest::addColumn<QString>("condition");
    QTest::addColumn<QByteArray>("context");
    QTest::addColumn<QString>("text"); // %S source, %T target, %B backup

    // One name byte too long once "_old_" is put in front.
    const QString longName = QString(247, u'n') + u".dat"_s;

    QTest::newRow("delete stale backup: a directory in its place")
        << u"x.dat"_s << QString() << u"backup is a directory"_s << "FileDeleteTaskSpecification"_ba
        << u"Could not delete '%B'"_s;
    QTest::newRow("rename: backup name too long for the file system")
        << longName << QString() << QString() << "FileRenameTaskSpecification"_ba
        << u"Could not rename '%T' to '%B'"_s;
    QTest::newRow("copy: downloaded file missing") << u"x.dat"_s << QString() << u"source missing"_s
                                                   << "FileCopyTaskSpecification"_ba << u"Could not copy '%S' to '%T'"_s;
    QTest::newRow("copy of a new file: downloaded file missing")
        << u"sub/new.dat"_s << QString() << u"source missing, not installed"_s << "FileCopyTaskSpecification"_ba
        << u"Could not copy '%S' to '%T'"_s;
    QTest::newRow("unpack: corrupt gzip data") << u"x.dat.gz"_s << u"x.dat"_s << u"truncated gzip"_s
                                               << "FileUnzipTaskSpecification"_ba << u"Could not unzip '%S' to '%T'"_s;
    QTest::newRow("verify: wrong expected MD5") << u"x.dat.gz"_s << u"x.dat"_s << u"wrong md5"_s
                                                << "CheckSignatureTaskSpecification"_ba
                                                << u"Signature check failed for %T"_s;
}

void TestFileReplace::failingStepRestoresTree()
{
    QFETCH(QString, fileName);
    QFETCH(QString, unpackedFileName);
    QFETCH(QString, condition);
    QFETCH(QByteArray, context);
    QFETCH(QString, text);

    const bool packed = !unpackedFileName.isEmpty();
    const FileReplaceSpecification entry =
        makeEntry(fileName, unpackedFileName, condition == u"wrong md5"_s ? md5Hex("other"_ba) : md5Hex(newContent));
    const QString source = tmpPath(fileName);
    const QString target = appPath(entry.pureDestFilePath());
    const QString backup = appPath(entry.oldDestFileName());
    QVERIFY(QDir().mkpath(QFileInfo(target).path()));

    if (!condition.startsWith(u"source missing"_s)) {
        const QByteArray data = packed ? gzipped(newContent) : newContent;
        QVERIFY(writeFile(source, condition == u"truncated gzip"_s ? data.left(data.size() - 6) : data));
    }
    if (!condition.endsWith(u"not installed"_s))
        QVERIFY(writeFile(target, oldContent, 0644));
    if (condition == u"backup is a directory"_s)
        QVERIFY(writeFile(backup + u"/inside"_s, staleContent));
    // Other files of the installation must not be touched either.
    QVERIFY(writeFile(appPath(u"neighbour.txt"_s), "neighbour"_ba));
    const TreeSnapshot before = TreeSnapshot::take(temp->path());

    FileReplaceTaskSpecification task(entry, &deleteList, &stageJournal, &configuration, nullptr, 1.0);
    TaskProbe probe(&task);
    task.execute();
    QVERIFY(probe.waitForEnd());

    QCOMPARE(task.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(temp->path())), QString());
    const QString expected = ContextTranslator::tagged(context.constData(), text)
                                 .replace(u"%S"_s, source)
                                 .replace(u"%T"_s, target)
                                 .replace(u"%B"_s, backup);
    // The step's reason, and no warning from the undo.
    QCOMPARE(probe.messages(),
             (QStringList{ContextTranslator::tagged("FileReplaceTaskSpecification", u"add/replace %1"_s).arg(fileName),
                          expected}));
    QVERIFY(task.rollbackList.isEmpty());
    QVERIFY(stageJournal.isEmpty());
    QVERIFY(deleteList.isEmpty());
}

// A cancel while a step runs lets that step finish, then undoes it and the
// move of the installed file.
void TestFileReplace::userCancelRestoresTree()
{
    const FileReplaceSpecification entry = makeEntry(u"x.dat.gz"_s, u"x.dat"_s, md5Hex(newContent));
    QVERIFY(makeFifo(tmpPath(entry.fileName)));
    QVERIFY(writeFile(appPath(u"x.dat"_s), oldContent));
    const TreeSnapshot before = TreeSnapshot::take(temp->path());

    FileReplaceTaskSpecification task(entry, &deleteList, &stageJournal, &configuration, nullptr, 1.0);
    TaskProbe probe(&task);
    task.execute();
    QCOMPARE(task.subTasks.size(), 3);
    TaskSpecification* unzip = task.subTasks.at(1);
    // The unpacking waits for its data.
    QTRY_COMPARE(unzip->state, TaskSpecification::Running);
    QVERIFY(QFileInfo::exists(appPath(u"_old_x.dat"_s)));

    task.userCanceled();
    const bool fed = feedFifo(tmpPath(entry.fileName), gzipped(newContent));
    if (!fed)
        releaseFifo(tmpPath(entry.fileName));
    QVERIFY(fed);
    QVERIFY(probe.waitForEnd());

    QCOMPARE(unzip->state, TaskSpecification::Finished);
    QCOMPARE(task.subTasks.at(2)->state, TaskSpecification::Ready); // the check never started
    QCOMPARE(task.state, TaskSpecification::UserCanceled);
    QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(temp->path())), QString());
    QVERIFY(stageJournal.isEmpty());
    QVERIFY(deleteList.isEmpty());
}

QTEST_GUILESS_MAIN(TestFileReplace)
#include "tst_filereplace.moc"
