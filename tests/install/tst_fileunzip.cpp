#include "contexttranslator.h"
#include "filefixtures.h"
#include "install/fileunziptaskspecification.h"
#include "taskprobe.h"
#include "treesnapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace FileFixtures;

namespace {
const QByteArray payload = sampleData(5 * 1024 * 1024 + 77, 7);

QByteArray truncatedInTheMiddle(const QByteArray& gz)
{
    return gz.left(gz.size() / 2);
}

// The stored CRC of the trailer no longer matches the data.
QByteArray withBadChecksum(QByteArray gz)
{
    gz[gz.size() - 8] = char(gz.at(gz.size() - 8) ^ 0x5a);
    return gz;
}
} // namespace

// Unpacking of downloaded gzip files into the installation: streaming,
// byte-exact, and nothing left behind when it fails.
class TestFileUnzip : public QObject
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

    void unzip_data();
    void unzip();
    void failedWriteLeavesNothing();
    void destinationThatCannotBeOpenedIsLeftAlone();
};

void TestFileUnzip::unzip_data()
{
    QTest::addColumn<QString>("sourceName"); // relative; the destination lies next to it
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("existing"); // at the destination beforehand, if not empty
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray gz = gzipped(payload);
    QTest::newRow("several megabytes, byte-exact") << u"f.gz"_s << true << gz << QByteArray() << true << payload;
    QTest::newRow("existing destination is truncated")
        << u"f.gz"_s << true << gzipped("short"_ba) << payload << true << "short"_ba;
    QTest::newRow("truncated gzip") << u"f.gz"_s << true << truncatedInTheMiddle(gz) << QByteArray() << false
                                    << QByteArray();
    QTest::newRow("wrong stored checksum") << u"f.gz"_s << true << withBadChecksum(gzipped("abc"_ba))
                                           << QByteArray() << false << QByteArray();
    QTest::newRow("missing source") << u"f.gz"_s << false << QByteArray() << QByteArray() << false << QByteArray();
    QTest::newRow("not gzip: passed through unchanged")
        << u"f.gz"_s << true << "plain text, not packed\n"_ba << QByteArray() << true << "plain text, not packed\n"_ba;
    QTest::newRow("empty payload") << u"f.gz"_s << true << gzipped(QByteArray()) << QByteArray() << true
                                   << QByteArray();
    QTest::newRow("empty source file") << u"f.gz"_s << true << QByteArray() << QByteArray() << true << QByteArray();
    QTest::newRow("non-ASCII path") << u"Spiele/Kestrüne Ωmega/f.gz"_s << true << gz << QByteArray() << true
                                    << payload;
}

void TestFileUnzip::unzip()
{
    QFETCH(QString, sourceName);
    QFETCH(bool, sourceExists);
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, existing);
    QFETCH(bool, ok);
    QFETCH(QByteArray, expected);

    const QString sourcePath = root.filePath(sourceName);
    const QString dest = QFileInfo(sourcePath).path() + u"/unpacked.bin"_s;
    QVERIFY(root.mkpath(QFileInfo(sourcePath).path()));
    if (sourceExists)
        QVERIFY(writeFile(sourcePath, source));
    if (!existing.isEmpty())
        QVERIFY(writeFile(dest, existing));
    const TreeSnapshot before = TreeSnapshot::take(root.path());

    RollbackDataList rollbackList;
    FileUnzipTaskSpecification task(&rollbackList, sourcePath, dest, nullptr, 1.0);
    TaskProbe probe(&task);
    task.execute();
    QVERIFY(probe.waitForEnd());

    if (ok) {
        QCOMPARE(task.state, TaskSpecification::Finished);
        QVERIFY(probe.messages().isEmpty());
        QVERIFY(QFileInfo(dest).isFile());
        QVERIFY2(readFile(dest) == expected, "unpacked content differs");
        QCOMPARE(rollbackList.size(), 1);
        QCOMPARE(rollbackList.records().at(0).operation, RollbackData::CreateFile);
        QCOMPARE(rollbackList.records().at(0).path, dest);
    } else {
        QCOMPARE(task.state, TaskSpecification::ErrorCanceled);
        QCOMPARE(probe.messages(),
                 QStringList{ContextTranslator::tagged("FileUnzipTaskSpecification", u"Could not unzip '%1' to '%2'"_s)
                                 .arg(sourcePath, dest)});
        QVERIFY(rollbackList.isEmpty());
        // No partial or empty output remains.
        QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(root.path())), QString());
    }
}

// A write that the file system refuses fails the unpacking; the partial
// output goes.
void TestFileUnzip::failedWriteLeavesNothing()
{
    const QString source = root.filePath(u"big.gz"_s);
    const QString dest = root.filePath(u"big"_s);
    QVERIFY(writeFile(source, gzipped(sampleData(2 * 1024 * 1024))));
    QVERIFY(QFileInfo(source).size() < 3 * 1024 * 1024);

    FileUnzipFunc func(source, dest);
    bool ok = true;
    {
        FileSizeLimit limit(3 * 1024 * 1024 / 2);
        QVERIFY(limit.isActive());
        ok = func.run();
    }
    QVERIFY(!ok);
    QVERIFY(!QFileInfo::exists(dest));
}

// What this unpacking could not open it has not written, so it does not
// delete it either.
void TestFileUnzip::destinationThatCannotBeOpenedIsLeftAlone()
{
    const QString source = root.filePath(u"f.gz"_s);
    QVERIFY(writeFile(source, gzipped("abc"_ba)));
    QVERIFY(writeFile(root.filePath(u"dest/inside"_s), "kept"_ba));
    const TreeSnapshot before = TreeSnapshot::take(root.path());

    FileUnzipFunc func(source, root.filePath(u"dest"_s));
    QVERIFY(!func.unzipFile(root.filePath(u"dest"_s), source));
    QVERIFY(!func.run());
    QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(root.path())), QString());
}

QTEST_GUILESS_MAIN(TestFileUnzip)
#include "tst_fileunzip.moc"
