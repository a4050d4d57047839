#include "contexttranslator.h"
#include "install/rollback.h"
#include "task/taskspecification.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// The warnings go to a task's message signal.
class MessageSink : public TaskSpecification
{
    Q_OBJECT
public:
    MessageSink() : TaskSpecification(nullptr, 1.0) { }
    void execute() override { }
};

// Entries ending in "/" are directories; a file holds its own relative name.
void createEntries(const QDir& root, const QStringList& entries)
{
    for (const QString& entry : entries) {
        if (entry.endsWith(u'/')) {
            QVERIFY(root.mkpath(entry));
        } else {
            QFile file(root.filePath(entry));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(entry.toUtf8());
        }
    }
}

// The tree below root in the same notation, files as "name=content".
QStringList listEntries(const QDir& root)
{
    QStringList out;
    QDirIterator it(root.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = root.relativeFilePath(path);
        if (it.fileInfo().isDir()) {
            out << relative + u'/';
        } else {
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                out << relative + u'=' + QString::fromUtf8(file.readAll());
        }
    }
    out.sort();
    return out;
}

// "dir x", "file x", "rename from to", paths relative to root.
RollbackDataList makeJournal(const QDir& root, const QStringList& records)
{
    RollbackDataList journal;
    for (const QString& record : records) {
        const QStringList parts = record.split(u' ');
        if (parts.at(0) == u"dir")
            journal.add(RollbackData(RollbackData::CreateDir, root.filePath(parts.at(1))));
        else if (parts.at(0) == u"file")
            journal.add(RollbackData(RollbackData::CreateFile, root.filePath(parts.at(1))));
        else
            journal.add(RollbackData(RollbackData::Rename, root.filePath(parts.at(1)), root.filePath(parts.at(2))));
    }
    return journal;
}

} // namespace

class TestRollback : public QObject
{
    Q_OBJECT

private:
    ContextTranslator translator;

private slots:
    void initTestCase() { QCoreApplication::installTranslator(&translator); }
    void rollbackUndoesNewestFirst_data();
    void rollbackUndoesNewestFirst();
    void appendListKeepsOrder();
    void unknownOperationIsFatal();
};

void TestRollback::rollbackUndoesNewestFirst_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<bool>("nullTarget");
    QTest::addColumn<bool>("expectedResult");
    // Untranslated; %D stands for the directory of the test.
    QTest::addColumn<QStringList>("expectedMessages");
    QTest::addColumn<QStringList>("expectedEntries");

    QTest::newRow("empty journal") << QStringList{} << QStringList{} << false << true << QStringList{}
                                   << QStringList{};
    QTest::newRow("a, a/b, a/b/f: file first, then the directories innermost first")
        << QStringList{u"a/"_s, u"a/b/"_s, u"a/b/f"_s} << QStringList{u"dir a"_s, u"dir a/b"_s, u"file a/b/f"_s}
        << false << true << QStringList{} << QStringList{};
    QTest::newRow("replacement: new file goes, backup gets its name back")
        << QStringList{u"_old_x"_s, u"x"_s} << QStringList{u"rename x _old_x"_s, u"file x"_s} << false << true
        << QStringList{} << QStringList{u"x=_old_x"_s};
    QTest::newRow("rename back blocked: warns with the old name first and goes on")
        << QStringList{u"_old_x"_s, u"x"_s, u"y"_s} << QStringList{u"file y"_s, u"rename x _old_x"_s} << false
        << false << QStringList{u"warning: rollback rename %D/x to %D/_old_x failed"_s}
        << QStringList{u"_old_x=_old_x"_s, u"x=x"_s};
    QTest::newRow("directory no longer empty")
        << QStringList{u"d/"_s, u"d/other"_s} << QStringList{u"dir d"_s} << false << false
        << QStringList{u"warning: rollback create dir %D/d failed"_s} << QStringList{u"d/"_s, u"d/other=d/other"_s};
    QTest::newRow("created file already gone")
        << QStringList{} << QStringList{u"file gone"_s} << false << false
        << QStringList{u"warning: rollback create file %D/gone failed"_s} << QStringList{};
    QTest::newRow("no message target: no text, still false")
        << QStringList{u"_old_x"_s, u"x"_s, u"y"_s} << QStringList{u"file y"_s, u"rename x _old_x"_s} << true
        << false << QStringList{} << QStringList{u"_old_x=_old_x"_s, u"x=x"_s};
}

void TestRollback::rollbackUndoesNewestFirst()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, records);
    QFETCH(bool, nullTarget);
    QFETCH(bool, expectedResult);
    QFETCH(QStringList, expectedMessages);
    QFETCH(QStringList, expectedEntries);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QDir root(temp.path());
    createEntries(root, entries);
    RollbackDataList journal = makeJournal(root, records);
    MessageSink sink;
    QSignalSpy messages(&sink, &TaskSpecification::message);

    QCOMPARE(journal.rollback(nullTarget ? nullptr : &sink), expectedResult);

    QStringList texts;
    for (const QList<QVariant>& call : std::as_const(messages))
        texts << call.at(0).toString();
    for (QString& text : expectedMessages)
        text = ContextTranslator::tagged("QObject", text.replace(u"%D"_s, root.path()));
    QCOMPARE(texts, expectedMessages);
    QCOMPARE(listEntries(root), expectedEntries);
    QVERIFY(journal.isEmpty());
}

void TestRollback::appendListKeepsOrder()
{
    RollbackDataList stage;
    stage.add(RollbackData(RollbackData::CreateDir, u"d"_s));
    RollbackDataList single;
    single.add(RollbackData(RollbackData::Rename, u"d/f"_s, u"d/_old_f"_s));
    single.add(RollbackData(RollbackData::CreateFile, u"d/f"_s));

    stage.appendList(single);
    QCOMPARE(single.size(), 2);
    QStringList described;
    for (const RollbackData& r : stage.records())
        described << QString::number(r.operation) + u' ' + r.originalPath + u'>' + r.path;
    QCOMPARE(described, (QStringList{u"2 >d"_s, u"0 d/f>d/_old_f"_s, u"1 >d/f"_s}));

    stage.clear();
    QVERIFY(stage.isEmpty());
}

// A record with an operation the program cannot make stops the program.
void TestRollback::unknownOperationIsFatal()
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {u"--unknown-operation"_s});
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QVERIFY(child.readAllStandardError().contains("Should not reach here"));
}

int main(int argc, char** argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--unknown-operation") == 0) {
        QCoreApplication app(argc, argv);
        RollbackData(static_cast<RollbackData::Operation>(7), u"x"_s).rollback(nullptr);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestRollback test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_rollback.moc"
