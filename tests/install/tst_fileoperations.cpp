#include "contexttranslator.h"
#include "filefixtures.h"
#include "install/dircreatetaskspecification.h"
#include "install/filecopytaskspecification.h"
#include "install/filedeletetaskspecification.h"
#include "install/filerenametaskspecification.h"
#include "taskprobe.h"
#include "treesnapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace FileFixtures;

namespace {
// Entries ending in "/" are directories, others files holding their name.
void createEntries(const QDir& root, const QStringList& entries)
{
    for (const QString& entry : entries) {
        if (entry.endsWith(u'/'))
            QVERIFY(root.mkpath(entry));
        else
            QVERIFY(writeFile(root.filePath(entry), entry.toUtf8()));
    }
}

// The journal as "operation path" lines relative to root
// ("dir a", "file a", "rename from to").
QStringList describeJournal(const RollbackDataList& journal, const QDir& root)
{
    QStringList out;
    for (const RollbackData& r : journal.records()) {
        switch (r.operation) {
        case RollbackData::CreateDir:
            out << u"dir "_s + root.relativeFilePath(r.path);
            break;
        case RollbackData::CreateFile:
            out << u"file "_s + root.relativeFilePath(r.path);
            break;
        case RollbackData::Rename:
            out << u"rename "_s + root.relativeFilePath(r.originalPath) + u' ' + root.relativeFilePath(r.path);
            break;
        }
    }
    return out;
}

// The untranslated template with %R standing for the root, tagged with its
// context; empty stays empty.
QStringList expectedTexts(const char* context, const QString& text, const QString& root)
{
    if (text.isEmpty())
        return {};
    return {ContextTranslator::tagged(context, QString(text).replace(u"%R"_s, root))};
}
} // namespace

// The basic file operations of an installation, each on a real tree: what
// they change, what they record for a rollback and what they report.
class TestFileOperations : public QObject
{
    Q_OBJECT

private:
    ContextTranslator translator;
    QTemporaryDir* temp = nullptr;
    QDir root;

private slots:
    void initTestCase() { QCoreApplication::installTranslator(&translator); }
    void init()
    {
        temp = new QTemporaryDir;
        QVERIFY(temp->isValid());
        root = QDir(temp->path());
    }
    void cleanup()
    {
        delete temp;
        temp = nullptr;
    }

    void createDir_data();
    void createDir();
    void createRelativeDirWithoutAnchor();
    void deleteFile_data();
    void deleteFile();
    void renameFile_data();
    void renameFile();
    void copyFile_data();
    void copyFile();
    void copyReportsFailedWrite();
};

void TestFileOperations::createDir_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("path"); // relative to the root
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("journal");
    QTest::addColumn<QString>("text"); // untranslated, %R = root

    QTest::newRow("existing directory: nothing recorded") << QStringList{u"a/"_s} << u"a"_s << true << QStringList{}
                                                          << QString();
    QTest::newRow("a/b/c when only a exists: ancestors outermost first")
        << QStringList{u"a/"_s} << u"a/b/c"_s << true << QStringList{u"dir a/b"_s, u"dir a/b/c"_s} << QString();
    QTest::newRow("trailing slash") << QStringList{} << u"n/"_s << true << QStringList{u"dir n"_s} << QString();
    QTest::newRow("name taken by a file")
        << QStringList{u"f"_s} << u"f"_s << false << QStringList{}
        << u"Could not create dir '%R/f' because it already exists and is not a dir"_s;
    QTest::newRow("parent is a file") << QStringList{u"f"_s} << u"f/sub"_s << false << QStringList{}
                                      << u"unable to create dir %R/f/sub"_s;
    QTest::newRow("ancestor is a file: the first directory that cannot be made is named")
        << QStringList{u"f"_s} << u"f/sub/deeper"_s << false << QStringList{} << u"unable to create dir %R/f/sub"_s;
}

void TestFileOperations::createDir()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, path);
    QFETCH(bool, ok);
    QFETCH(QStringList, journal);
    QFETCH(QString, text);

    createEntries(root, entries);
    const TreeSnapshot before = TreeSnapshot::take(root.path());
    RollbackDataList rollbackList;
    DirCreateTaskSpecification task(root.filePath(path), &rollbackList, nullptr, 1.0);
    TaskProbe probe(&task);

    task.execute();

    QVERIFY(probe.ended()); // synchronously, inside execute()
    QCOMPARE(task.state, ok ? TaskSpecification::Finished : TaskSpecification::ErrorCanceled);
    QCOMPARE(probe.messages(), expectedTexts("DirCreateTaskSpecification", text, root.path()));
    QCOMPARE(describeJournal(rollbackList, root), journal);
    if (ok)
        QVERIFY(QFileInfo(root.filePath(path)).isDir());
    // What was recorded is exactly what was made.
    QVERIFY(rollbackList.rollback(nullptr));
    QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(root.path())), QString());
}

// A relative path whose walk reaches a bare name cannot be anchored; the
// text names the directory the task was asked for.
void TestFileOperations::createRelativeDirWithoutAnchor()
{
    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(root.path()));
    RollbackDataList rollbackList;
    DirCreateTaskSpecification task(u"x/y"_s, &rollbackList, nullptr, 1.0);
    TaskProbe probe(&task);
    task.execute();
    QDir::setCurrent(saved);

    QCOMPARE(task.state, TaskSpecification::ErrorCanceled);
    QCOMPARE(probe.messages(),
             QStringList{ContextTranslator::tagged("DirCreateTaskSpecification", u"Could not create dir x/y"_s)});
    QVERIFY(rollbackList.isEmpty());
    QVERIFY(!root.exists(u"x"_s));
}

void TestFileOperations::deleteFile_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("mustSucceed");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("remaining");

    QTest::newRow("present file") << QStringList{u"f"_s, u"g"_s} << u"f"_s << true << true << QString()
                                  << QStringList{u"g"_s};
    QTest::newRow("missing file, must succeed")
        << QStringList{u"g"_s} << u"gone"_s << true << false << u"Could not delete '%R/gone'"_s << QStringList{u"g"_s};
    QTest::newRow("missing file, may fail: silent") << QStringList{u"g"_s} << u"gone"_s << false << true << QString()
                                                    << QStringList{u"g"_s};
    QTest::newRow("directory, must succeed")
        << QStringList{u"d/"_s} << u"d"_s << true << false << u"Could not delete '%R/d'"_s << QStringList{u"d"_s};
    QTest::newRow("directory, may fail: silent, left alone")
        << QStringList{u"d/"_s} << u"d"_s << false << true << QString() << QStringList{u"d"_s};
}

void TestFileOperations::deleteFile()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, path);
    QFETCH(bool, mustSucceed);
    QFETCH(bool, ok);
    QFETCH(QString, text);
    QFETCH(QStringList, remaining);

    createEntries(root, entries);
    FileDeleteTaskSpecification task(mustSucceed, root.filePath(path), nullptr, 1.0);
    QVERIFY(task.rollbackList == nullptr);
    TaskProbe probe(&task);
    task.execute();

    QVERIFY(probe.ended());
    QCOMPARE(task.state, ok ? TaskSpecification::Finished : TaskSpecification::ErrorCanceled);
    QCOMPARE(probe.messages(), expectedTexts("FileDeleteTaskSpecification", text, root.path()));
    QCOMPARE(root.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), remaining);
}

void TestFileOperations::renameFile_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("text");

    QTest::newRow("free new name") << QStringList{u"a"_s} << true << QString();
    QTest::newRow("new name taken: nothing replaced, nothing recorded")
        << QStringList{u"a"_s, u"b"_s} << false << u"Could not rename '%R/a' to '%R/b'"_s;
    QTest::newRow("missing file") << QStringList{} << false << u"Could not rename '%R/a' to '%R/b'"_s;
}

void TestFileOperations::renameFile()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, ok);
    QFETCH(QString, text);

    createEntries(root, entries);
    const TreeSnapshot before = TreeSnapshot::take(root.path());
    RollbackDataList rollbackList;
    FileRenameTaskSpecification task(root.filePath(u"a"_s), root.filePath(u"b"_s), &rollbackList, nullptr, 1.0);
    TaskProbe probe(&task);
    task.execute();

    QVERIFY(probe.ended());
    QCOMPARE(task.state, ok ? TaskSpecification::Finished : TaskSpecification::ErrorCanceled);
    QCOMPARE(probe.messages(), expectedTexts("FileRenameTaskSpecification", text, root.path()));
    QCOMPARE(describeJournal(rollbackList, root), ok ? QStringList{u"rename a b"_s} : QStringList{});
    if (ok) {
        QCOMPARE(readFile(root.filePath(u"b"_s)), "a"_ba);
        QVERIFY(rollbackList.rollback(nullptr));
    }
    QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(root.path())), QString());
}

void TestFileOperations::copyFile_data()
{
    QTest::addColumn<QByteArray>("content"); // of the source
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QByteArray>("existing"); // at the destination, if not empty
    QTest::addColumn<bool>("ok");

    // More than one block, not a multiple of it.
    QTest::newRow("file of several blocks") << sampleData(3 * 1024 * 1024 + 123) << true << u"dest"_s
                                            << QByteArray() << true;
    QTest::newRow("empty file") << QByteArray() << true << u"dest"_s << QByteArray() << true;
    QTest::newRow("existing destination is neither replaced nor removed")
        << "new"_ba << true << u"dest"_s << "installed"_ba << false;
    QTest::newRow("missing source") << QByteArray() << false << u"dest"_s << QByteArray() << false;
    QTest::newRow("destination directory missing") << "new"_ba << true << u"nodir/dest"_s << QByteArray() << false;
}

void TestFileOperations::copyFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, sourceExists);
    QFETCH(QString, destination);
    QFETCH(QByteArray, existing);
    QFETCH(bool, ok);

    const QString source = root.filePath(u"src/source.bin"_s);
    const QString dest = root.filePath(destination);
    if (sourceExists)
        QVERIFY(writeFile(source, content, 0640));
    else
        QVERIFY(root.mkpath(u"src"_s));
    if (!existing.isEmpty())
        QVERIFY(writeFile(dest, existing));
    const TreeSnapshot before = TreeSnapshot::take(root.path());

    RollbackDataList rollbackList;
    FileCopyTaskSpecification task(&rollbackList, source, dest, nullptr, 1.0);
    TaskProbe probe(&task);
    task.execute();
    QVERIFY(!probe.ended()); // the work runs on the pool
    QVERIFY(probe.waitForEnd());

    if (ok) {
        QCOMPARE(task.state, TaskSpecification::Finished);
        QVERIFY(probe.messages().isEmpty());
        QCOMPARE(describeJournal(rollbackList, root), QStringList{u"file "_s + destination});
        QVERIFY(readFile(dest) == content);
        QCOMPARE(fileMode(dest), 0640); // the source's permissions
        QVERIFY(rollbackList.rollback(nullptr));
    } else {
        QCOMPARE(task.state, TaskSpecification::ErrorCanceled);
        QCOMPARE(probe.messages(),
                 QStringList{ContextTranslator::tagged("FileCopyTaskSpecification", u"Could not copy '%1' to '%2'"_s)
                                 .arg(source, dest)});
        QVERIFY(rollbackList.isEmpty());
    }
    QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(root.path())), QString());
}

// A write that the file system refuses (here: the file size limit, which
// binds root as well as a full disk would) fails the copy, and the partial
// file is removed.
void TestFileOperations::copyReportsFailedWrite()
{
    const QString source = root.filePath(u"source.bin"_s);
    const QString dest = root.filePath(u"dest"_s);
    QVERIFY(writeFile(source, sampleData(2 * 1024 * 1024)));
    RollbackDataList rollbackList;
    FileCopyTaskSpecification task(&rollbackList, source, dest, nullptr, 1.0);
    TaskProbe probe(&task);
    {
        FileSizeLimit limit(100 * 1000);
        QVERIFY(limit.isActive());
        task.execute();
        QVERIFY(probe.waitForEnd());
    }
    QCOMPARE(task.state, TaskSpecification::ErrorCanceled);
    QVERIFY(!QFileInfo::exists(dest));
    QVERIFY(rollbackList.isEmpty());
}

QTEST_GUILESS_MAIN(TestFileOperations)
#include "tst_fileoperations.moc"
