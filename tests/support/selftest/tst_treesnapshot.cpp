#include "filefixtures.h"
#include "treesnapshot.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace Qt::StringLiterals;
using namespace FileFixtures;

using Change = std::function<bool(const QDir&)>;
Q_DECLARE_METATYPE(Change)

// The tree snapshot must see every kind of change the installation tests
// care about, and say which, in one line per entry.
class TestTreeSnapshot : public QObject
{
    Q_OBJECT

private slots:
    void difference_data();
    void difference();
    void withoutDropsSubtrees();
};

void TestTreeSnapshot::difference_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<QString>("expected"); // %R = root

    QTest::newRow("nothing") << Change([](const QDir&) { return true; }) << QString();
    QTest::newRow("content, same size") << Change([](const QDir& d) {
        return writeFile(d.filePath(u"a/f"_s), "FFF"_ba, 0644);
    }) << u"changed: a/f: content"_s;
    QTest::newRow("size and content") << Change([](const QDir& d) {
        return writeFile(d.filePath(u"a/f"_s), "ffff"_ba, 0644);
    }) << u"changed: a/f: size 3 -> 4, content"_s;
    QTest::newRow("mode") << Change([](const QDir& d) {
        return QFile::setPermissions(d.filePath(u"a/f"_s), QFile::Permissions(0x7755));
    }) << u"changed: a/f: mode 0644 -> 0755"_s;
    QTest::newRow("file removed, backup added") << Change([](const QDir& d) {
        return QFile::rename(d.filePath(u"a/f"_s), d.filePath(u"a/_old_f"_s));
    }) << u"only after: a/_old_f (file, mode 0644, 3 bytes, sha256 %1)\nonly before: a/f (file, mode 0644, 3 bytes, sha256 %1)"_s;
    QTest::newRow("directory added") << Change([](const QDir& d) {
        return d.mkdir(u"n"_s) && QFile::setPermissions(d.filePath(u"n"_s), QFile::Permissions(0x7755));
    })
                                     << u"only after: n (dir, mode 0755)"_s;
    QTest::newRow("file in the place of a directory") << Change([](const QDir& d) {
        return d.rmdir(u"e"_s) && writeFile(d.filePath(u"e"_s), QByteArray(), 0755);
    }) << u"changed: e: dir -> file"_s;
    QTest::newRow("link target") << Change([](const QDir& d) {
        return QFile::remove(d.filePath(u"link"_s)) && QFile::link(u"a"_s, d.filePath(u"link"_s));
    }) << u"changed: link: link target"_s;
}

void TestTreeSnapshot::difference()
{
    QFETCH(Change, change);
    QFETCH(QString, expected);

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QDir root(temp.path());
    QVERIFY(writeFile(root.filePath(u"a/f"_s), "fff"_ba, 0644));
    QVERIFY(QFile::setPermissions(root.filePath(u"a"_s), QFile::Permissions(0x7755)));
    QVERIFY(root.mkdir(u"e"_s));
    QVERIFY(QFile::setPermissions(root.filePath(u"e"_s), QFile::Permissions(0x7755)));
    QVERIFY(QFile::link(u"a/f"_s, root.filePath(u"link"_s)));
    QVERIFY(makeFifo(root.filePath(u"pipe"_s))); // recorded, never read

    const TreeSnapshot before = TreeSnapshot::take(root.path());
    QCOMPARE(before.entries().size(), 5);
    QCOMPARE(before.entry(u"pipe"_s).type, TreeSnapshot::Other);
    QVERIFY(change(root));
    const TreeSnapshot after = TreeSnapshot::take(root.path());

    const QString hashPrefix = QString::fromLatin1(before.entry(u"a/f"_s).hash.left(12));
    QCOMPARE(TreeSnapshot::difference(before, after), expected.arg(hashPrefix));
    QCOMPARE(before == after, expected.isEmpty());
}

void TestTreeSnapshot::withoutDropsSubtrees()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QDir root(temp.path());
    QVERIFY(writeFile(root.filePath(u"keep/f"_s), "1"_ba));
    QVERIFY(writeFile(root.filePath(u"skip/g"_s), "2"_ba));
    QVERIFY(writeFile(root.filePath(u"skipped.txt"_s), "3"_ba));

    const TreeSnapshot snapshot = TreeSnapshot::take(root.path()).without({u"skip"_s});
    QCOMPARE(snapshot.entries().keys(), (QStringList{u"keep"_s, u"keep/f"_s, u"skipped.txt"_s}));
}

QTEST_GUILESS_MAIN(TestTreeSnapshot)
#include "tst_treesnapshot.moc"
