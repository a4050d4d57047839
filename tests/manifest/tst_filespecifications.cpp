#include "manifest/makedownloadreplacelisttaskspecification.h"

#include <QTest>

// The destination and backup names derived from an entry of the replace list.
class TestFileSpecifications : public QObject
{
    Q_OBJECT

private slots:
    void destinationNames_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("unpackedFileName");
        QTest::addColumn<bool>("hasUnzip");
        QTest::addColumn<QString>("destination");
        QTest::addColumn<QString>("backup");

        QTest::newRow("plain file") << "update" << "" << false << "update" << "_old_update";
        QTest::newRow("plain file in subdirectory")
            << "plugins/libx.so" << "" << false << "plugins/libx.so" << "plugins/_old_libx.so";
        QTest::newRow("packed entry installs under its unpacked name")
            << "data/big.pak.gz" << "data/big.pak" << true << "data/big.pak" << "data/_old_big.pak";
        QTest::newRow("nested directories")
            << "a/b/c/file.txt" << "" << false << "a/b/c/file.txt" << "a/b/c/_old_file.txt";
    }

    void destinationNames()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, unpackedFileName);

        FileReplaceSpecification entry;
        entry.fileName = fileName;
        entry.unpackedFileName = unpackedFileName;

        QTEST(entry.hasUnzip(), "hasUnzip");
        QTEST(entry.pureDestFilePath(), "destination");
        QTEST(entry.destFileName(QString()), "destination");
        QTEST(entry.oldDestFileName(), "backup");
    }

    void clearEmptiesAllLists()
    {
        FileSpecifications lists;
        lists.downloadList.append({QStringLiteral("s"), QStringLiteral("f"), QStringLiteral("m"), 1});
        lists.replaceList.append(FileReplaceSpecification{});
        lists.deleteList.append(QStringLiteral("old"));
        lists.clear();
        QVERIFY(lists.downloadList.isEmpty());
        QVERIFY(lists.replaceList.isEmpty());
        QVERIFY(lists.deleteList.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFileSpecifications)
#include "tst_filespecifications.moc"
