#include "download/mirrors.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cmath>

namespace {

const QString NoMirrorsText = QStringLiteral("There are no (more) known working mirrors available");

// Writes an INI file into the test's temporary directory.
QString writeIni(const QTemporaryDir& dir, const QByteArray& content, const QString& name = QStringLiteral("mirrors.ini"))
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// "name|url|retries|maxUseCount" per record, for compact comparisons.
QStringList describe(const Mirrors& pool)
{
    QStringList lines;
    for (const FTPSiteAccessData& m : pool.getMirrorList())
        lines << QStringLiteral("%1|%2|%3|%4").arg(m.name, m.url).arg(m.retries).arg(m.maxUseCount);
    return lines;
}

FTPSiteAccessData record(const QString& name, int maxUseCount, int useCount = 0, int retries = 5)
{
    FTPSiteAccessData m;
    m.name = name;
    m.url = QStringLiteral("http://") + name + QStringLiteral("/7");
    m.maxUseCount = maxUseCount;
    m.useCount = useCount;
    m.retries = retries;
    return m;
}

int useCountOf(const Mirrors& pool, int index)
{
    return pool.getMirrorList().at(index).useCount;
}

} // namespace

class TestMirrors : public QObject
{
    Q_OBJECT

private slots:
    void readsMirrorsIni_data();
    void readsMirrorsIni();
    void readsAlphaMirror_data();
    void readsAlphaMirror();
    void slotsRunOutAndComeBack();
    void failuresRetireMirror_data();
    void failuresRetireMirror();
    void removeMirrorDropsItsSlots();
    void announcesSlotChanges();
    void duplicateNamesActOnFirstRecord();
    void emptyPoolReportsOnce();
    void drawIsUniformOverFreeSlots_data();
    void drawIsUniformOverFreeSlots();
};

void TestMirrors::readsMirrorsIni_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("schemes in any case")
        << QByteArray("[mirrors]\nsize=7\n1\\mirror=a\n2\\mirror=b\n3\\mirror=c\n4\\mirror=d\n5\\mirror=e\n"
                      "6\\mirror=f\n7\\mirror=g\n"
                      "[a]\nurl=HTTP://a.example/kr3\n[b]\nurl=ftp://b.example/kr3\n[c]\nurl=Https://c.example\n"
                      "[d]\nurl=http://d.example/\n[e]\nurl=hTTpS://e.example\n[f]\nurl=httpx://f.example\n"
                      "[g]\nurl=g.example/http://\n")
        << QStringList { "a|HTTP://a.example/kr3/7|5|3", "b|ftp://b.example/kr3/7|5|1", "c|Https://c.example/7|5|3",
               "d|http://d.example/7|5|3", "e|hTTpS://e.example/7|5|3", "f|httpx://f.example/7|5|1",
               "g|g.example/http://7|5|1" };
    QTest::newRow("trailing slash and empty url")
        << QByteArray("[mirrors]\nsize=4\n1\\mirror=slash\n2\\mirror=bare\n3\\mirror=empty\n4\\mirror=nogroup\n"
                      "[slash]\nurl=http://s.example/a/\n[bare]\nurl=http://b.example/a\n[empty]\nurl=\n")
        << QStringList { "slash|http://s.example/a/7|5|3", "bare|http://b.example/a/7|5|3", "empty|/7|5|1",
               "nogroup|/7|5|1" };
    QTest::newRow("retries values")
        << QByteArray("[mirrors]\nsize=7\n1\\mirror=absent\n2\\mirror=zero\n3\\mirror=negative\n4\\mirror=word\n"
                      "5\\mirror=two\n6\\mirror=huge\n7\\mirror=big\n"
                      "[absent]\nurl=ftp://x\n[zero]\nurl=ftp://x\nretries=0\n[negative]\nurl=ftp://x\nretries=-3\n"
                      "[word]\nurl=ftp://x\nretries=often\n[two]\nurl=ftp://x\nretries=2\n"
                      "[huge]\nurl=ftp://x\nretries=4294967295\n[big]\nurl=ftp://x\nretries=2147483647\n")
        << QStringList { "absent|ftp://x/7|5|1", "zero|ftp://x/7|5|1", "negative|ftp://x/7|5|1", "word|ftp://x/7|5|1",
               "two|ftp://x/7|2|1", "huge|ftp://x/7|5|1", "big|ftp://x/7|2147483647|1" };
    QTest::newRow("duplicate names")
        << QByteArray("[mirrors]\nsize=3\n1\\mirror=dup\n2\\mirror=other\n3\\mirror=dup\n"
                      "[dup]\nurl=http://dup.example\nretries=1\n[other]\nurl=ftp://o.example\n")
        << QStringList { "dup|http://dup.example/7|1|3", "other|ftp://o.example/7|5|1", "dup|http://dup.example/7|1|3" };
    // An empty name selects no group: the keys outside any group apply.
    QTest::newRow("empty name")
        << QByteArray("[General]\nurl=http://top.example\n[mirrors]\nsize=2\n1\\mirror=\n2\\mirror=b\n"
                      "[b]\nurl=ftp://b.example\n")
        << QStringList { "|http://top.example/7|5|3", "b|ftp://b.example/7|5|1" };
    QTest::newRow("order of the array, not of the groups")
        << QByteArray("[a]\nurl=ftp://a\n[b]\nurl=ftp://b\n[mirrors]\n2\\mirror=a\n1\\mirror=b\nsize=2\n")
        << QStringList { "b|ftp://b/7|5|1", "a|ftp://a/7|5|1" };
    QTest::newRow("comma in url") << QByteArray("[mirrors]\nsize=1\n1\\mirror=a\n[a]\nurl=http://a.example/x,y\n")
                                  << QStringList { "a|http://a.example/x,y/7|5|3" };
    QTest::newRow("no mirrors array") << QByteArray("[a]\nurl=http://a.example\n") << QStringList();
    QTest::newRow("no file") << QByteArray() << QStringList();
}

void TestMirrors::readsMirrorsIni()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = ini.isNull() ? dir.filePath(QStringLiteral("mirrors.ini")) : writeIni(dir, ini);

    Mirrors pool;
    QSignalSpy messages(&pool, &Mirrors::message);
    QSignalSpy fatal(&pool, &Mirrors::fatalError);
    QVERIFY(pool.initDefault(path, 7));

    QCOMPARE(describe(pool), expected);
    for (const FTPSiteAccessData& m : pool.getMirrorList()) {
        QCOMPARE(m.timeoutTicks, 15);
        QCOMPARE(m.errorCount, 0);
        QCOMPARE(m.useCount, 0);
    }
    QCOMPARE(messages.count(), 0);
    QCOMPARE(fatal.count(), 0);
}

void TestMirrors::readsAlphaMirror_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("url"); // empty: no alpha mirror

    QTest::newRow("plain") << QByteArray("[Channel]\nalpha=http://alpha.example/kr3\nbeta=1\n")
                           << QStringLiteral("http://alpha.example/kr3/7");
    QTest::newRow("trailing slash") << QByteArray("[Channel]\nalpha=ftp://alpha.example/\n")
                                    << QStringLiteral("ftp://alpha.example/7");
    QTest::newRow("empty value") << QByteArray("[Channel]\nalpha=\n") << QString();
    QTest::newRow("key missing") << QByteArray("[Channel]\nbeta=1\n[other]\nalpha=http://x\n") << QString();
    QTest::newRow("no file") << QByteArray() << QString();
}

void TestMirrors::readsAlphaMirror()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, url);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = ini.isNull() ? dir.filePath(QStringLiteral("update.ini"))
                                      : writeIni(dir, ini, QStringLiteral("update.ini"));
    Mirrors pool;
    QSignalSpy fatal(&pool, &Mirrors::fatalError);

    const bool ok = pool.initAlpha(path, 7);
    QCOMPARE(ok, !url.isEmpty());
    if (!ok) {
        QCOMPARE(fatal.count(), 1);
        QCOMPARE(fatal.at(0).at(0).toString(),
            QStringLiteral("alpha parameter in channel section in update ini file not found"));
        QVERIFY(pool.getMirrorList().isEmpty());
        return;
    }
    QCOMPARE(fatal.count(), 0);
    QCOMPARE(describe(pool), QStringList { QStringLiteral("Alpha Channel|%1|4|1").arg(url) });
    QCOMPARE(pool.getMirrorList().at(0).timeoutTicks, 15);

    // One slot, whatever the scheme: a second transfer has to wait.
    FTPSiteAccessData first;
    FTPSiteAccessData second;
    QCOMPARE(pool.getRandomMirror(first), 0);
    QCOMPARE(first.name, QStringLiteral("Alpha Channel"));
    QCOMPARE(pool.getRandomMirror(second), 2);
    QVERIFY(second.name.isNull());
}

void TestMirrors::slotsRunOutAndComeBack()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Mirrors pool;
    pool.initDefault(writeIni(dir,
                         "[mirrors]\nsize=2\n1\\mirror=web\n2\\mirror=files\n"
                         "[web]\nurl=http://web.example\n[files]\nurl=ftp://files.example\n"),
        7);
    int capacity = -1;
    int use = -1;
    pool.calcUseStats(capacity, use);
    QCOMPARE(capacity, 4);
    QCOMPARE(use, 0);

    FTPSiteAccessData taken;
    for (int i = 0; i < 4; ++i)
        QCOMPARE(pool.getRandomMirror(taken), 0);
    QCOMPARE(useCountOf(pool, 0), 3);
    QCOMPARE(useCountOf(pool, 1), 1);
    QCOMPARE(taken.useCount, pool.getMirrorList().at(pool.getMirrorIndex(taken.name)).useCount);

    // Every slot in use: result 2 and nothing changes, the caller's record included.
    FTPSiteAccessData untouched = record(QStringLiteral("caller"), 1);
    QCOMPARE(pool.getRandomMirror(untouched), 2);
    QCOMPARE(untouched.name, QStringLiteral("caller"));
    pool.calcUseStats(capacity, use);
    QCOMPARE(use, 4);

    // A released slot is the only free one, so it is the one handed out.
    for (const QString& name : { QStringLiteral("files"), QStringLiteral("web") }) {
        pool.releaseMirror(name);
        FTPSiteAccessData again;
        QCOMPARE(pool.getRandomMirror(again), 0);
        QCOMPARE(again.name, name);
        QCOMPARE(pool.getRandomMirror(again), 2);
    }

    pool.releaseMirror(QStringLiteral("unknown"));
    pool.calcUseStats(capacity, use);
    QCOMPARE(capacity, 4);
    QCOMPARE(use, 4);
}

void TestMirrors::failuresRetireMirror_data()
{
    QTest::addColumn<QByteArray>("ini"); // null: the alpha mirror
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("failuresToRetire");

    QTest::newRow("retries 2") << QByteArray("[mirrors]\nsize=2\n1\\mirror=m\n2\\mirror=n\n[m]\nurl=http://m\nretries=2\n")
                               << QStringLiteral("m") << 3;
    QTest::newRow("default retries") << QByteArray("[mirrors]\nsize=2\n1\\mirror=n\n2\\mirror=m\n[m]\nurl=http://m\n")
                                     << QStringLiteral("m") << 6;
    QTest::newRow("alpha") << QByteArray() << QStringLiteral("Alpha Channel") << 5;
}

void TestMirrors::failuresRetireMirror()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, name);
    QFETCH(int, failuresToRetire);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Mirrors pool;
    if (ini.isNull())
        QVERIFY(pool.initAlpha(writeIni(dir, "[Channel]\nalpha=http://alpha.example\n", QStringLiteral("update.ini")), 7));
    else
        QVERIFY(pool.initDefault(writeIni(dir, ini), 7));
    const int before = pool.getMirrorList().size();
    QSignalSpy messages(&pool, &Mirrors::message);

    // Failures of mirrors not in the pool change nothing.
    pool.addMirrorError(QStringLiteral("unknown"));

    for (int i = 1; i < failuresToRetire; ++i) {
        pool.addMirrorError(name);
        QCOMPARE(pool.getMirrorList().at(pool.getMirrorIndex(name)).errorCount, i);
    }
    QCOMPARE(messages.count(), 0);
    pool.addMirrorError(name);
    QCOMPARE(pool.getMirrorIndex(name), -1);
    QCOMPARE(pool.getMirrorList().size(), before - 1);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Mirror %1 failed too many times, removing").arg(name));

    pool.addMirrorError(name);
    QCOMPARE(pool.getMirrorList().size(), before - 1);
    QCOMPARE(messages.count(), 1);
}

void TestMirrors::removeMirrorDropsItsSlots()
{
    Mirrors pool;
    pool.initFromList({ record(QStringLiteral("a"), 3), record(QStringLiteral("b"), 1) });
    FTPSiteAccessData taken;
    for (int i = 0; i < 4; ++i)
        QCOMPARE(pool.getRandomMirror(taken), 0);

    pool.removeMirror(QStringLiteral("a"));
    int capacity = 0;
    int use = 0;
    pool.calcUseStats(capacity, use);
    QCOMPARE(capacity, 1);
    QCOMPARE(use, 1);
    QCOMPARE(pool.getMirrorIndex(QStringLiteral("a")), -1);
    QCOMPARE(pool.getMirrorIndex(QStringLiteral("b")), 0);

    // The transfers that held slots of "a" give them back to nobody.
    pool.releaseMirror(QStringLiteral("a"));
    pool.addMirrorError(QStringLiteral("a"));
    pool.removeMirror(QStringLiteral("a"));
    QCOMPARE(pool.getRandomMirror(taken), 2);

    pool.releaseMirror(QStringLiteral("b"));
    QCOMPARE(pool.getRandomMirror(taken), 0);
    QCOMPARE(taken.name, QStringLiteral("b"));
}

void TestMirrors::announcesSlotChanges()
{
    // Every change that can let a waiting draw succeed (or find the pool
    // empty) is announced; draws, failures below the limit and unknown
    // names are not.
    Mirrors pool;
    pool.initFromList({ record(QStringLiteral("a"), 1, 0, 1), record(QStringLiteral("b"), 1) });
    QSignalSpy changes(&pool, &Mirrors::slotsChanged);
    FTPSiteAccessData taken;

    QCOMPARE(pool.getRandomMirror(taken), 0);
    pool.addMirrorError(QStringLiteral("a"));
    pool.releaseMirror(QStringLiteral("unknown"));
    pool.removeMirror(QStringLiteral("unknown"));
    QCOMPARE(changes.count(), 0);

    pool.releaseMirror(taken.name);
    QCOMPARE(changes.count(), 1);
    pool.addMirrorError(QStringLiteral("a")); // second failure: retired
    QCOMPARE(changes.count(), 2);
    pool.removeMirror(QStringLiteral("b"));
    QCOMPARE(changes.count(), 3);
    QVERIFY(pool.getMirrorList().isEmpty());
}

void TestMirrors::duplicateNamesActOnFirstRecord()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Mirrors pool;
    pool.initDefault(writeIni(dir,
                         "[mirrors]\nsize=2\n1\\mirror=dup\n2\\mirror=dup\n"
                         "[dup]\nurl=http://dup.example\nretries=1\n"),
        7);
    FTPSiteAccessData taken;
    for (int i = 0; i < 6; ++i)
        QCOMPARE(pool.getRandomMirror(taken), 0);
    QCOMPARE(useCountOf(pool, 0), 3);
    QCOMPARE(useCountOf(pool, 1), 3);

    pool.releaseMirror(QStringLiteral("dup"));
    pool.releaseMirror(QStringLiteral("dup"));
    QCOMPARE(useCountOf(pool, 0), 1);
    QCOMPARE(useCountOf(pool, 1), 3);

    pool.addMirrorError(QStringLiteral("dup"));
    QCOMPARE(pool.getMirrorList().at(0).errorCount, 1);
    QCOMPARE(pool.getMirrorList().at(1).errorCount, 0);
    pool.addMirrorError(QStringLiteral("dup"));

    // The second record moves up with its own counts and is now "the" dup.
    QCOMPARE(pool.getMirrorList().size(), 1);
    QCOMPARE(pool.getMirrorList().at(0).errorCount, 0);
    QCOMPARE(useCountOf(pool, 0), 3);
    pool.releaseMirror(QStringLiteral("dup"));
    QCOMPARE(useCountOf(pool, 0), 2);
}

void TestMirrors::emptyPoolReportsOnce()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Mirrors pool;
    QVERIFY(pool.initDefault(dir.filePath(QStringLiteral("missing.ini")), 7));
    QSignalSpy messages(&pool, &Mirrors::message);

    FTPSiteAccessData caller = record(QStringLiteral("caller"), 1);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(pool.getRandomMirror(caller), 1);
    QCOMPARE(caller.name, QStringLiteral("caller"));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), NoMirrorsText);

    // A pool emptied by retiring its last mirror says it once too; each
    // pool says it once in its life.
    Mirrors emptied;
    emptied.initFromList({ record(QStringLiteral("only"), 1, 0, 0) });
    QSignalSpy emptiedMessages(&emptied, &Mirrors::message);
    QCOMPARE(emptied.getRandomMirror(caller), 0);
    emptied.addMirrorError(QStringLiteral("only"));
    QCOMPARE(emptied.getRandomMirror(caller), 1);
    QCOMPARE(emptied.getRandomMirror(caller), 1);
    QCOMPARE(emptiedMessages.count(), 2);
    QCOMPARE(emptiedMessages.at(0).at(0).toString(), QStringLiteral("Mirror only failed too many times, removing"));
    QCOMPARE(emptiedMessages.at(1).at(0).toString(), NoMirrorsText);
}

void TestMirrors::drawIsUniformOverFreeSlots_data()
{
    QTest::addColumn<QVector<FTPSiteAccessData>>("mirrors");
    QTest::addColumn<QVector<double>>("shares");

    QTest::newRow("idle web and file mirror")
        << QVector<FTPSiteAccessData> { record(QStringLiteral("web"), 3), record(QStringLiteral("ftp"), 1) }
        << QVector<double> { 0.75, 0.25 };
    QTest::newRow("busy slots do not count")
        << QVector<FTPSiteAccessData> { record(QStringLiteral("a"), 3, 1), record(QStringLiteral("full"), 3, 3),
               record(QStringLiteral("b"), 1), record(QStringLiteral("c"), 3, 2) }
        << QVector<double> { 0.5, 0.0, 0.25, 0.25 };
    QTest::newRow("five single slots")
        << QVector<FTPSiteAccessData> { record("1", 1), record("2", 1), record("3", 1), record("4", 1), record("5", 1) }
        << QVector<double>(5, 0.2);
}

void TestMirrors::drawIsUniformOverFreeSlots()
{
    QFETCH(QVector<FTPSiteAccessData>, mirrors);
    QFETCH(QVector<double>, shares);

    constexpr int Draws = 40000;
    Mirrors pool;
    pool.initFromList(mirrors);
    pool.setRandomGenerator(QRandomGenerator(20240611));
    Mirrors twin;
    twin.initFromList(mirrors);
    twin.setRandomGenerator(QRandomGenerator(20240611));

    QVector<int> hits(mirrors.size(), 0);
    bool sameSequence = true;
    for (int i = 0; i < Draws; ++i) {
        FTPSiteAccessData taken;
        FTPSiteAccessData twinTaken;
        QCOMPARE(pool.getRandomMirror(taken), 0);
        QCOMPARE(twin.getRandomMirror(twinTaken), 0);
        sameSequence = sameSequence && taken.name == twinTaken.name;
        ++hits[pool.getMirrorIndex(taken.name)];
        pool.releaseMirror(taken.name);
        twin.releaseMirror(twinTaken.name);
    }
    QVERIFY(sameSequence); // the handed-in generator drives the draw

    // Chi-square over the mirrors that have free slots; with at most 4
    // degrees of freedom, 18.5 is exceeded by chance once in a thousand.
    double chiSquare = 0;
    for (int i = 0; i < mirrors.size(); ++i) {
        if (shares.at(i) == 0) {
            QCOMPARE(hits.at(i), 0);
            continue;
        }
        const double expected = shares.at(i) * Draws;
        chiSquare += std::pow(hits.at(i) - expected, 2) / expected;
    }
    QVERIFY2(chiSquare < 18.5, qPrintable(QStringLiteral("chi-square %1").arg(chiSquare)));
}

QTEST_GUILESS_MAIN(TestMirrors)
#include "tst_mirrors.moc"
