#include "app/configuration.h"
#include "manifest/makedownloadreplacelisttaskspecification.h"

#include "contexttranslator.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <memory>

namespace {

const QString ManifestName = QStringLiteral("client_linux_x86.ini");

QString md5Of(const QByteArray& content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

// Replaces every "{text}" by the MD5 sum of text, so that the fixtures can
// name the content a sum stands for.
QString withSums(QString text)
{
    static const QRegularExpression placeholder(QStringLiteral("\\{([^}]*)\\}"));
    QRegularExpressionMatch m;
    while ((m = placeholder.match(text)).hasMatch())
        text.replace(m.capturedStart(), m.capturedLength(), md5Of(m.captured(1).toUtf8()));
    return text;
}

QStringList withSums(const QStringList& lines)
{
    QStringList out;
    for (const QString& line : lines)
        out << withSums(line);
    return out;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// "path=content" lines become files below root.
bool writeTree(const QString& root, const QStringList& files)
{
    for (const QString& line : files) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (!writeFile(root + QLatin1Char('/') + line.left(eq), line.mid(eq + 1).toUtf8()))
            return false;
    }
    return true;
}

QStringList describe(const QList<FileDownloadSpecification>& list)
{
    QStringList out;
    for (const FileDownloadSpecification& d : list)
        out << QStringLiteral("%1|%2|%3|%4").arg(d.section, d.fileName, d.md5).arg(d.size);
    return out;
}

QStringList describe(const QList<FileReplaceSpecification>& list)
{
    QStringList out;
    for (const FileReplaceSpecification& r : list)
        out << QStringLiteral("%1|%2|%3|%4|%5").arg(r.section, r.fileName, r.unpackedMd5).arg(r.unpackedSize).arg(r.unpackedFileName);
    return out;
}

// The texts carry their translation context (ContextTranslator).
QString funcText(const QString& text)
{
    return ContextTranslator::tagged("MakeDownloadReplaceListFunc", text);
}

const QString CompilingText = funcText(QStringLiteral("Compiling download and replace list"));
const QString NoFilesText = funcText(QStringLiteral("no files in product ini"));

// A manifest with plain files in a subdirectory, a packed entry, a "delete"
// section and a key outside any section (which is ignored).
const QString FullManifest = QStringLiteral(
    "top.txt={alpha}::5\n"
    "[files]\n"
    "b.txt={bravo}::5\n"
    "a.txt={alpha}::5\n"
    "plugins\\x.so={xso}::3\n"
    "[data]\n"
    "big.pak.gz={gzdata}::6::{payload}::7::big.pak\n"
    "[delete]\n"
    "old.txt=\n"
    "gone.txt=\n");

} // namespace

// The work lists computed from a manifest against a real installation and
// temporary directory.
class TestWorkLists : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> root;
    QString installDir;
    QString tempDir;
    Configuration configuration;
    ContextTranslator translator;

    void writeManifest(const QString& text)
    {
        QVERIFY(writeFile(tempDir + QLatin1Char('/') + ManifestName, withSums(text).toUtf8()));
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::installTranslator(&translator);
    }

    void init()
    {
        root = std::make_unique<QTemporaryDir>();
        QVERIFY(root->isValid());
        installDir = root->filePath(QStringLiteral("install"));
        tempDir = root->filePath(QStringLiteral("temp"));
        QVERIFY(QDir().mkpath(installDir));
        QVERIFY(QDir().mkpath(tempDir));
        Configuration::setAppRootPath(installDir);
        configuration.tempDir = tempDir;
        configuration.updateType = QStringLiteral("client_linux_x86");
    }

    void cleanup()
    {
        Configuration::setAppRootPath(QString());
    }

    void lists_data()
    {
        QTest::addColumn<QString>("manifest"); // null: no manifest at all
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<QStringList>("downloaded");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("lastMessage");
        QTest::addColumn<QStringList>("downloads"); // section|file|md5|size
        QTest::addColumn<QStringList>("replaces"); // section|file|unpackedMd5|unpackedSize|unpackedFile
        QTest::addColumn<QStringList>("deletes");

        const QStringList everythingDownloaded = {
            QStringLiteral("data|big.pak.gz|{gzdata}|6"),
            QStringLiteral("files|a.txt|{alpha}|5"),
            QStringLiteral("files|b.txt|{bravo}|5"),
            QStringLiteral("files|plugins/x.so|{xso}|3"),
        };
        const QStringList everythingReplaced = {
            QStringLiteral("data|big.pak.gz|{payload}|7|big.pak"),
            QStringLiteral("files|a.txt||0|"),
            QStringLiteral("files|b.txt||0|"),
            QStringLiteral("files|plugins/x.so||0|"),
        };
        const QStringList current = {
            QStringLiteral("a.txt=alpha"), QStringLiteral("b.txt=bravo"), QStringLiteral("plugins/x.so=xso"),
            QStringLiteral("big.pak=payload"), QStringLiteral("old.txt=obsolete"),
        };

        QTest::newRow("fresh installation: everything in both lists, sorted")
            << FullManifest << QStringList() << QStringList() << true << CompilingText
            << everythingDownloaded << everythingReplaced << QStringList();
        // The packed entry's compressed file is nowhere: its installed copy
        // decides. Only the existing "delete" entry is listed.
        QTest::newRow("installation already current")
            << FullManifest << current << QStringList() << true << CompilingText
            << QStringList() << QStringList() << QStringList{QStringLiteral("old.txt")};
        QTest::newRow("packed entry compared under its installed name, never the key")
            << QStringLiteral("[data]\nbig.pak.gz={gzdata}::6::{payload}::7::big.pak\n")
            << QStringList{QStringLiteral("big.pak.gz=payload"), QStringLiteral("big.pak=stale")} << QStringList()
            << true << CompilingText << QStringList{QStringLiteral("data|big.pak.gz|{gzdata}|6")}
            << QStringList{QStringLiteral("data|big.pak.gz|{payload}|7|big.pak")} << QStringList();
        QTest::newRow("intact downloads are installed without a new download")
            << FullManifest << QStringList()
            << QStringList{QStringLiteral("big.pak.gz=gzdata"), QStringLiteral("a.txt=alpha"),
                           QStringLiteral("b.txt=brav0"), QStringLiteral("plugins/x.so=xso")}
            << true << CompilingText << QStringList{QStringLiteral("files|b.txt|{bravo}|5")} << everythingReplaced
            << QStringList();
        QTest::newRow("changed installed file")
            << FullManifest
            << QStringList{QStringLiteral("a.txt=alpha"), QStringLiteral("b.txt=old bravo"),
                           QStringLiteral("plugins/x.so=xso"), QStringLiteral("big.pak=payload")}
            << QStringList() << true << CompilingText << QStringList{QStringLiteral("files|b.txt|{bravo}|5")}
            << QStringList{QStringLiteral("files|b.txt||0|")} << QStringList();
        // An empty first field is still a field; the empty sum makes every
        // check of the file a signature check, which fails without ".sig".
        QTest::newRow("::123 is a two-field line")
            << QStringLiteral("[files]\ne.txt=::123\n") << QStringList{QStringLiteral("e.txt=x")} << QStringList()
            << true << CompilingText << QStringList{QStringLiteral("files|e.txt||123")}
            << QStringList{QStringLiteral("files|e.txt||0|")} << QStringList();
        QTest::newRow("Delete with a capital D is a file section")
            << QStringLiteral("[Delete]\nx.txt={alpha}::5\n") << QStringList{QStringLiteral("x.txt=alpha2")}
            << QStringList() << true << CompilingText << QStringList{QStringLiteral("Delete|x.txt|{alpha}|5")}
            << QStringList{QStringLiteral("Delete|x.txt||0|")} << QStringList();
        QTest::newRow("size that is not a number counts as 0")
            << QStringLiteral("[files]\na.txt={alpha}::many\n") << QStringList() << QStringList() << true
            << CompilingText << QStringList{QStringLiteral("files|a.txt|{alpha}|0")}
            << QStringList{QStringLiteral("files|a.txt||0|")} << QStringList();

        const QString invalidInFiles = funcText(QStringLiteral("warning: product ini contains invalid line in section files"));
        QTest::newRow("three fields")
            << QStringLiteral("[files]\na.txt={alpha}::5\nz.txt={alpha}::5::x\n") << QStringList() << QStringList()
            << false << invalidInFiles << QStringList() << QStringList() << QStringList();
        QTest::newRow("four fields")
            << QStringLiteral("[data]\nz.gz=a::1::b::2\n[files]\na.txt={alpha}::5\n") << QStringList()
            << QStringList() << false
            << funcText(QStringLiteral("warning: product ini contains invalid line in section data")) << QStringList()
            << QStringList() << QStringList();
        QTest::newRow("one field")
            << QStringLiteral("[files]\na.txt={alpha}\n") << QStringList() << QStringList() << false
            << invalidInFiles << QStringList() << QStringList() << QStringList();
        QTest::newRow("sections without keys")
            << QStringLiteral("[files]\n[delete]\n") << QStringList() << QStringList() << false << NoFilesText
            << QStringList() << QStringList() << QStringList();
        QTest::newRow("no manifest") << QString() << QStringList() << QStringList() << false << NoFilesText
                                     << QStringList() << QStringList() << QStringList();
    }

    void lists()
    {
        QFETCH(QString, manifest);
        QFETCH(QStringList, installed);
        QFETCH(QStringList, downloaded);
        QFETCH(bool, ok);

        if (!manifest.isNull())
            writeManifest(manifest);
        QVERIFY(writeTree(installDir, withSums(installed)));
        QVERIFY(writeTree(tempDir, downloaded));

        FileSpecifications lists;
        MakeDownloadReplaceListFunc func(&configuration, lists);
        QSignalSpy messages(&func, &ASyncFunc::message);
        QSignalSpy progress(&func, &ASyncFunc::progress);
        QCOMPARE(func.run(), ok);

        QVERIFY(!messages.isEmpty());
        QCOMPARE(messages.first().at(0).toString(), CompilingText);
        QTEST(messages.last().at(0).toString(), "lastMessage");
        if (ok) {
            QCOMPARE(messages.size(), 1);
            QCOMPARE(progress.last().at(0).toReal(), 1.0);
        }
        QFETCH(QStringList, downloads);
        QFETCH(QStringList, replaces);
        QCOMPARE(describe(lists.downloadList), withSums(downloads));
        QCOMPARE(describe(lists.replaceList), withSums(replaces));
        QTEST(lists.deleteList, "deletes");
    }

    // The work fills only the task's own record; the run's record gets the
    // lists from the event loop, on this thread, and only after success.
    void runRecordFilledOnlyOnSuccessOnTheMainThread_data()
    {
        QTest::addColumn<QString>("manifest");
        QTest::addColumn<bool>("ok");
        QTest::newRow("success") << FullManifest << true;
        QTest::newRow("invalid line after valid keys")
            << QStringLiteral("[files]\na.txt={alpha}::5\nz.txt=x::1::y\n") << false;
    }

    void runRecordFilledOnlyOnSuccessOnTheMainThread()
    {
        QFETCH(QString, manifest);
        QFETCH(bool, ok);
        writeManifest(manifest);

        FileSpecifications record;
        record.deleteList << QStringLiteral("earlier");
        MakeDownloadReplaceListTaskSpecification task(&configuration, record, nullptr, 0.05);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        QStringList recordAtEnd;
        const auto noteRecord = [&] { recordAtEnd = describe(record.downloadList); };
        connect(&task, &TaskSpecification::finished, this, noteRecord);
        connect(&task, &TaskSpecification::canceled, this, noteRecord);

        task.execute();
        QThreadPool::globalInstance()->waitForDone();
        // The work is over, but its result has not been delivered yet.
        QCOMPARE(record.deleteList, QStringList{QStringLiteral("earlier")});
        QVERIFY(record.downloadList.isEmpty());

        QTRY_COMPARE(finished.size() + canceled.size(), 1);
        if (ok) {
            QCOMPARE(task.state, TaskSpecification::Finished);
            QCOMPARE(describe(record.downloadList), describe(task.compiledSpecifications.downloadList));
            QCOMPARE(record.downloadList.size(), 4);
            QCOMPARE(record.replaceList.size(), 4);
            QVERIFY(record.deleteList.isEmpty());
            // Handed over before the task announced its end.
            QCOMPARE(recordAtEnd, describe(record.downloadList));
            QCOMPARE(progress.last().at(0).toReal(), 0.05);
        } else {
            QCOMPARE(task.state, TaskSpecification::ErrorCanceled);
            QCOMPARE(record.deleteList, QStringList{QStringLiteral("earlier")});
            QVERIFY(record.downloadList.isEmpty());
            QVERIFY(record.replaceList.isEmpty());
        }
    }

    // Many entries checked in parallel still come out in manifest order,
    // with progress rising to 1 at the last key.
    void manyEntriesKeepManifestOrder()
    {
        // 4 sections of 150 keys in 7 subdirectories; every third file is
        // installed and current, every fifth of the others lies intact in
        // the temporary directory.
        QString manifest;
        QStringList installed;
        QStringList downloaded;
        QStringList expectedDownloads;
        QStringList expectedReplaces;
        for (int s = 0; s < 4; ++s) {
            const QString section = QStringLiteral("s%1").arg(s);
            manifest += QStringLiteral("[%1]\n").arg(section);
            QStringList keys;
            for (int i = 0; i < 150; ++i)
                keys << QStringLiteral("%1/d%2/f%3.bin").arg(section).arg(i % 7).arg(i, 3, 10, QLatin1Char('0'));
            keys.sort();
            for (int i = 0; i < keys.size(); ++i) {
                const QString content = QStringLiteral("content of ") + keys[i];
                manifest += QStringLiteral("%1={%2}::%3\n")
                                .arg(QString(keys[i]).replace(QLatin1Char('/'), QLatin1Char('\\')), content)
                                .arg(content.size());
                if (i % 3 == 0) {
                    installed << keys[i] + QLatin1Char('=') + content;
                    continue;
                }
                expectedReplaces << QStringLiteral("%1|%2||0|").arg(section, keys[i]);
                if (i % 5 == 0)
                    downloaded << keys[i] + QLatin1Char('=') + content;
                else
                    expectedDownloads << QStringLiteral("%1|%2|{%3}|%4").arg(section, keys[i], content).arg(content.size());
            }
        }
        writeManifest(manifest);
        QVERIFY(writeTree(installDir, installed));
        QVERIFY(writeTree(tempDir, downloaded));

        FileSpecifications lists;
        MakeDownloadReplaceListFunc func(&configuration, lists);
        QSignalSpy progress(&func, &ASyncFunc::progress);
        QVERIFY(func.run());

        QCOMPARE(describe(lists.replaceList), expectedReplaces);
        QCOMPARE(describe(lists.downloadList), withSums(expectedDownloads));
        QVERIFY(!progress.isEmpty());
        QVERIFY(progress.size() <= 600);
        qreal last = 0;
        for (const QList<QVariant>& p : std::as_const(progress)) {
            QVERIFY(p.at(0).toReal() >= last);
            last = p.at(0).toReal();
        }
        QCOMPARE(last, 1.0);
    }
};

QTEST_GUILESS_MAIN(TestWorkLists)
#include "tst_worklists.moc"
