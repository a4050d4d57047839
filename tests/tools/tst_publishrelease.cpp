#include "app/configuration.h"
#include "manifest/checksignaturetaskspecification.h"
#include "manifest/makedownloadreplacelisttaskspecification.h"
#include "manifest/tomcryptutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <zlib.h>

#include <memory>

namespace {

const QString tool = QStringLiteral(KR3_PUBLISH_PATH);
const QString devPrivateKey = QStringLiteral(KR3_KEYS_DIR "/dev-private.key");
const QString devPublicKey = QStringLiteral(KR3_KEYS_DIR "/dev-public.key");
const QString Type = QStringLiteral("client_linux_x86");

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Result runTool(const QStringList& args)
{
    Result r;
    QProcess p;
    p.start(tool, args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    if (p.exitStatus() == QProcess::NormalExit)
        r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

QString md5Of(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QByteArray gunzip(const QString& path)
{
    gzFile gz = gzopen(QFile::encodeName(path).constData(), "rb");
    if (!gz)
        return QByteArray("<not gzip>");
    QByteArray out;
    char buffer[4096];
    int n;
    while ((n = gzread(gz, buffer, sizeof buffer)) > 0)
        out.append(buffer, n);
    gzclose(gz);
    return out;
}

// Every path below root (directories end in "/"), sorted.
QStringList listTree(const QString& root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        out << it.filePath().mid(root.size() + 1) + (it.fileInfo().isDir() ? QStringLiteral("/") : QString());
    }
    out.sort();
    return out;
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

// A download entry as the manifest should list the file stored at
// mirror/files/key.
QString downloadEntry(const QString& filesDir, const QString& key)
{
    const QByteArray stored = readAll(filesDir + QLatin1Char('/') + key);
    return QStringLiteral("files|%1|%2|%3").arg(key, md5Of(stored)).arg(stored.size());
}

} // namespace

// kr3-publish release: a client release tree becomes the mirror layout of
// one version with a signed manifest that the updater reads back exactly.
class TestPublishRelease : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    QString releaseDir;
    QString previousDir;
    QString mirrorRoot;

    QString path(const QString& name) const { return dir->filePath(name); }

    // The work lists that the updater computes from the published manifest
    // against the given installation, with an empty temporary directory.
    bool workLists(const QString& manifest, const QString& installation, FileSpecifications& lists)
    {
        QTemporaryDir temp;
        if (!QFile::copy(manifest, temp.filePath(Type + QStringLiteral(".ini"))))
            return false;
        Configuration configuration;
        configuration.tempDir = temp.path();
        configuration.updateType = Type;
        Configuration::setAppRootPath(installation);
        MakeDownloadReplaceListFunc func(&configuration, lists);
        const bool ok = func.run();
        Configuration::setAppRootPath(QString());
        return ok;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(tool));
        crypt_init();
    }

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        releaseDir = path(QStringLiteral("release"));
        previousDir = path(QStringLiteral("previous"));
        mirrorRoot = path(QStringLiteral("mirror"));
        QVERIFY(QDir().mkpath(releaseDir));
        QVERIFY(QDir().mkpath(previousDir));
    }

    void publishesWhatTheUpdaterReads()
    {
        const QByteArray script("#!/bin/sh\nexec ./kr3client \"$@\"\n");
        const QByteArray plugin(3000, 'p');
        const QByteArray pak = QByteArray("level data ").repeated(5000);
        const QByteArray readme("Read me, with a blank and an accent in my name.\n");
        const QByteArray odd("odd but representable\n");
        const QByteArray keep("unchanged library\n");
        const QString readmeName = QStringLiteral("docs/read me \u00e9t\u00e9.txt");
        // A leading blank, a backslash, a comma and "::" survive the
        // manifest in the key of a file that is not compressed.
        const QString oddName = QStringLiteral("docs/ odd\\name, with::colons.txt");
        QVERIFY(writeFile(releaseDir + QStringLiteral("/kr3client_runscript.sh"), script));
        QVERIFY(writeFile(releaseDir + QStringLiteral("/plugins/libx.so"), plugin));
        QVERIFY(writeFile(releaseDir + QStringLiteral("/data/maps/big.pak"), pak));
        QVERIFY(writeFile(releaseDir + QLatin1Char('/') + readmeName, readme));
        QVERIFY(writeFile(releaseDir + QLatin1Char('/') + oddName, odd));
        QVERIFY(writeFile(releaseDir + QStringLiteral("/lib/libkeep.so"), keep));

        // The installed previous release: one file changed, two unchanged,
        // one removed since, and the new files missing.
        QVERIFY(writeFile(previousDir + QStringLiteral("/kr3client_runscript.sh"), "#!/bin/sh\nold\n"));
        QVERIFY(writeFile(previousDir + QStringLiteral("/plugins/libx.so"), plugin));
        QVERIFY(writeFile(previousDir + QStringLiteral("/data/maps/big.pak"), "old level data"));
        QVERIFY(writeFile(previousDir + QStringLiteral("/lib/libkeep.so"), keep));
        QVERIFY(writeFile(previousDir + QStringLiteral("/data/removed.txt"), "gone in version 7"));

        const Result r = runTool({QStringLiteral("release"), QStringLiteral("--type"), Type,
                                  QStringLiteral("--version"), QStringLiteral("7"), QStringLiteral("--key"),
                                  devPrivateKey, QStringLiteral("--gzip"), QStringLiteral("*.pak"),
                                  QStringLiteral("--previous"), previousDir, releaseDir, mirrorRoot});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(r.out.contains("6 files (1 compressed"));

        const QString versionDir = mirrorRoot + QStringLiteral("/7");
        const QString filesDir = versionDir + QStringLiteral("/files");
        const QString manifest = versionDir + QLatin1Char('/') + Type + QStringLiteral(".ini");
        QCOMPARE(listTree(mirrorRoot),
                 (QStringList{QStringLiteral("7/"), QStringLiteral("7/") + Type + QStringLiteral(".ini"),
                              QStringLiteral("7/") + Type + QStringLiteral(".ini.sig"), QStringLiteral("7/files/"),
                              QStringLiteral("7/files/data/"), QStringLiteral("7/files/data/maps/"),
                              QStringLiteral("7/files/data/maps/big.pak.gz"), QStringLiteral("7/files/docs/"),
                              QStringLiteral("7/files/") + oddName, QStringLiteral("7/files/") + readmeName,
                              QStringLiteral("7/files/kr3client_runscript.sh"), QStringLiteral("7/files/lib/"),
                              QStringLiteral("7/files/lib/libkeep.so"), QStringLiteral("7/files/plugins/"),
                              QStringLiteral("7/files/plugins/libx.so")}));
        QCOMPARE(QFileInfo(versionDir).permissions() & QFileDevice::ExeOther, QFileDevice::ExeOther);

        // Stored files: copies, and the compressed file unpacking to the
        // original.
        QCOMPARE(readAll(filesDir + QStringLiteral("/kr3client_runscript.sh")), script);
        QCOMPARE(readAll(filesDir + QLatin1Char('/') + readmeName), readme);
        QCOMPARE(readAll(filesDir + QLatin1Char('/') + oddName), odd);
        QCOMPARE(gunzip(filesDir + QStringLiteral("/data/maps/big.pak.gz")), pak);
        QVERIFY(QFileInfo(filesDir + QStringLiteral("/data/maps/big.pak.gz")).size() < pak.size());

        // The signature verifies with the key built into the updater.
        CheckSigFunc signatureCheck(manifest, QString());
        QVERIFY(signatureCheck.run());
        QCOMPARE(runTool({QStringLiteral("verify"), devPublicKey, manifest}).exitCode, 0);

        const QString bigEntry = downloadEntry(filesDir, QStringLiteral("data/maps/big.pak.gz"));
        const QString bigReplace = QStringLiteral("files|data/maps/big.pak.gz|%1|%2|data/maps/big.pak")
                                       .arg(md5Of(pak))
                                       .arg(pak.size());
        const auto plainReplace = [](const QString& key) { return QStringLiteral("files|%1||0|").arg(key); };

        // A fresh installation needs everything.
        const QString emptyInstallation = path(QStringLiteral("empty"));
        QVERIFY(QDir().mkpath(emptyInstallation));
        FileSpecifications fresh;
        QVERIFY(workLists(manifest, emptyInstallation, fresh));
        QCOMPARE(describe(fresh.downloadList),
                 (QStringList{bigEntry, downloadEntry(filesDir, oddName), downloadEntry(filesDir, readmeName),
                              downloadEntry(filesDir, QStringLiteral("kr3client_runscript.sh")),
                              downloadEntry(filesDir, QStringLiteral("lib/libkeep.so")),
                              downloadEntry(filesDir, QStringLiteral("plugins/libx.so"))}));
        QCOMPARE(describe(fresh.replaceList),
                 (QStringList{bigReplace, plainReplace(oddName), plainReplace(readmeName),
                              plainReplace(QStringLiteral("kr3client_runscript.sh")),
                              plainReplace(QStringLiteral("lib/libkeep.so")),
                              plainReplace(QStringLiteral("plugins/libx.so"))}));
        QVERIFY(fresh.deleteList.isEmpty());

        // The previous installation needs the changed and new files only,
        // and loses the removed one.
        FileSpecifications update;
        QVERIFY(workLists(manifest, previousDir, update));
        QCOMPARE(describe(update.downloadList),
                 (QStringList{bigEntry, downloadEntry(filesDir, oddName), downloadEntry(filesDir, readmeName),
                              downloadEntry(filesDir, QStringLiteral("kr3client_runscript.sh"))}));
        QCOMPARE(describe(update.replaceList),
                 (QStringList{bigReplace, plainReplace(oddName), plainReplace(readmeName),
                              plainReplace(QStringLiteral("kr3client_runscript.sh"))}));
        QCOMPARE(update.deleteList, QStringList{QStringLiteral("data/removed.txt")});

        // The release itself, once installed, is current.
        FileSpecifications current;
        QVERIFY(workLists(manifest, releaseDir, current));
        QVERIFY(current.downloadList.isEmpty());
        QVERIFY(current.replaceList.isEmpty());
        QVERIFY(current.deleteList.isEmpty());
    }

    // A pattern without "/" matches file names at any depth; one with "/"
    // matches the whole relative path, its "*" not crossing a "/".
    void gzipPatterns_data()
    {
        QTest::addColumn<QStringList>("patterns");
        QTest::addColumn<QStringList>("compressed");
        QTest::newRow("name pattern at any depth") << QStringList{QStringLiteral("*.pak")}
                                                   << QStringList{QStringLiteral("a.pak"), QStringLiteral("data/b.pak"),
                                                                  QStringLiteral("data/sub/c.pak")};
        QTest::newRow("path pattern") << QStringList{QStringLiteral("data/*.pak")}
                                      << QStringList{QStringLiteral("data/b.pak")};
        QTest::newRow("several patterns, character class")
            << QStringList{QStringLiteral("data/sub/*"), QStringLiteral("[ab].*")}
            << QStringList{QStringLiteral("a.pak"), QStringLiteral("data/b.pak"), QStringLiteral("data/sub/c.pak")};
        QTest::newRow("no pattern") << QStringList() << QStringList();
    }

    void gzipPatterns()
    {
        QFETCH(QStringList, patterns);
        QFETCH(QStringList, compressed);
        const QStringList files{QStringLiteral("a.pak"), QStringLiteral("data/b.pak"), QStringLiteral("data/sub/c.pak"),
                                QStringLiteral("readme.txt")};
        for (const QString& file : files)
            QVERIFY(writeFile(releaseDir + QLatin1Char('/') + file, file.toUtf8()));
        QStringList args{QStringLiteral("release"), QStringLiteral("--type"), Type, QStringLiteral("--version"),
                         QStringLiteral("3"), QStringLiteral("--key"), devPrivateKey};
        for (const QString& pattern : patterns)
            args << QStringLiteral("--gzip") << pattern;
        const Result r = runTool(args << releaseDir << mirrorRoot);
        QVERIFY2(r.exitCode == 0, r.err.constData());

        QSettings ini(mirrorRoot + QStringLiteral("/3/") + Type + QStringLiteral(".ini"), QSettings::IniFormat);
        ini.beginGroup(QStringLiteral("files"));
        for (const QString& file : files) {
            const bool packed = compressed.contains(file);
            const QString key = packed ? file + QStringLiteral(".gz") : file;
            const QStringList fields = ini.value(key).toString().split(QStringLiteral("::"));
            QCOMPARE(fields.size(), packed ? 5 : 2);
            if (packed)
                QCOMPARE(fields[4], file);
        }
    }

    // What the manifest or the updater could not carry is refused with a
    // reason, and nothing is written.
    void refusals_data()
    {
        // Entries made before the run: "f:" file, "d:" directory, "l:"
        // symbolic link, "p:" FIFO in the release; "o:" file of the previous
        // release; "v:" existing directory below the mirror root.
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("extraArgs");
        QTest::addColumn<QString>("expected");

        const QStringList none;
        QTest::newRow("symbolic link") << QStringList{QStringLiteral("l:lib/libx.so")} << none
                                       << "lib/libx.so: is a symbolic link";
        QTest::newRow("FIFO") << QStringList{QStringLiteral("p:pipe")} << none << "pipe: is not a regular file";
        QTest::newRow("empty directory") << QStringList{QStringLiteral("d:data/empty")} << none
                                         << "data/empty: is an empty directory";
        QTest::newRow("backup prefix") << QStringList{QStringLiteral("f:plugins/_old_libx.so")} << none
                                       << "plugins/_old_libx.so: begins with \"_old_\"";
        QTest::newRow("hash sign") << QStringList{QStringLiteral("f:a#b.txt")} << none << "a#b.txt: contains \"#\"";
        QTest::newRow("question mark") << QStringList{QStringLiteral("f:a?b.txt")} << none << "a?b.txt: contains \"#\"";
        QTest::newRow("percent sign") << QStringList{QStringLiteral("f:dir%41/b.txt")} << none
                                      << "dir%41/b.txt: contains \"#\"";
        QTest::newRow("line break") << QStringList{QStringLiteral("f:a\nb.txt")} << none
                                    << "contains a control character";
        QTest::newRow("separator in a compressed file")
            << QStringList{QStringLiteral("f:a::b.pak")} << none << "a::b.pak: contains \"::\"";
        QTest::newRow("stored name of another file")
            << QStringList{QStringLiteral("f:x.pak"), QStringLiteral("f:x.pak.gz")} << none
            << "x.pak.gz: would be stored as x.pak.gz, the stored name of x.pak";
        QTest::newRow("stored name of a directory")
            << QStringList{QStringLiteral("f:x.pak"), QStringLiteral("f:x.pak.gz/inner.txt")} << none
            << "x.pak: would be stored as x.pak.gz, which is a directory";
        QTest::newRow("name of the manifest") << QStringList{QStringLiteral("f:client_linux_x86.ini")} << none
                                              << "would be downloaded over the manifest";
        QTest::newRow("file becomes a directory")
            << QStringList{QStringLiteral("f:lib/x.so"), QStringLiteral("o:lib")} << none
            << "lib: is a file in the previous release and a directory now";
        QTest::newRow("directory becomes a file")
            << QStringList{QStringLiteral("f:lib"), QStringLiteral("o:lib/x.so")} << none
            << "lib: is a directory in the previous release and a file now";
        QTest::newRow("version already published") << QStringList{QStringLiteral("v:7")} << none
                                                   << "already exists";
        QTest::newRow("empty release") << QStringList() << none << "holds no files";
        QTest::newRow("invalid type") << none << QStringList{QStringLiteral("--type"), QStringLiteral("a/b")}
                                      << "invalid type \"a/b\"";
        QTest::newRow("version zero") << none << QStringList{QStringLiteral("--version"), QStringLiteral("0")}
                                      << "invalid version \"0\"";
        QTest::newRow("version not a number")
            << none << QStringList{QStringLiteral("--version"), QStringLiteral("seven")} << "invalid version";
        QTest::newRow("public key") << none << QStringList{QStringLiteral("--key"), devPublicKey}
                                    << "not a private key";
        QTest::newRow("unknown option") << none << QStringList{QStringLiteral("--level=9")}
                                        << "Usage: kr3-publish release --type TYPE";
    }

    void refusals()
    {
        QFETCH(QStringList, entries);
        QFETCH(QStringList, extraArgs);
        QFETCH(QString, expected);

        bool withPrevious = false;
        for (const QString& entry : std::as_const(entries)) {
            const QString kind = entry.left(2);
            const QString name = entry.mid(2);
            const QString inRelease = releaseDir + QLatin1Char('/') + name;
            if (kind == QLatin1String("f:")) {
                QVERIFY(writeFile(inRelease, "content"));
            } else if (kind == QLatin1String("d:")) {
                QVERIFY(QDir().mkpath(inRelease));
            } else if (kind == QLatin1String("l:")) {
                QVERIFY(QDir().mkpath(QFileInfo(inRelease).path()));
                QVERIFY(QFile::link(QStringLiteral("elsewhere"), inRelease));
            } else if (kind == QLatin1String("p:")) {
                QCOMPARE(::mkfifo(QFile::encodeName(inRelease).constData(), 0600), 0);
            } else if (kind == QLatin1String("o:")) {
                QVERIFY(writeFile(previousDir + QLatin1Char('/') + name, "old"));
                withPrevious = true;
            } else if (kind == QLatin1String("v:")) {
                QVERIFY(QDir().mkpath(mirrorRoot + QLatin1Char('/') + name));
            }
        }
        // Unless the row is about an empty release, there is a good file too.
        if (!entries.isEmpty())
            QVERIFY(writeFile(releaseDir + QStringLiteral("/good.txt"), "good"));
        const QStringList mirrorBefore = QFileInfo::exists(mirrorRoot) ? listTree(mirrorRoot) : QStringList();
        const bool mirrorExisted = QFileInfo::exists(mirrorRoot);

        // Later options replace earlier ones where they can be given once,
        // so the row's options go first and the defaults fill in the rest.
        QStringList args{QStringLiteral("release")};
        args << extraArgs;
        const auto addDefault = [&](const QString& option, const QString& value) {
            if (!extraArgs.contains(option))
                args << option << value;
        };
        addDefault(QStringLiteral("--type"), Type);
        addDefault(QStringLiteral("--version"), QStringLiteral("7"));
        addDefault(QStringLiteral("--key"), devPrivateKey);
        args << QStringLiteral("--gzip") << QStringLiteral("*.pak");
        if (withPrevious)
            args << QStringLiteral("--previous") << previousDir;
        args << releaseDir << mirrorRoot;

        const Result r = runTool(args);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains(expected.toUtf8()), r.err.constData());
        QVERIFY(r.out.isEmpty());
        QCOMPARE(QFileInfo::exists(mirrorRoot), mirrorExisted);
        if (mirrorExisted)
            QCOMPARE(listTree(mirrorRoot), mirrorBefore);
    }

    // The command refuses to write its output into the tree it publishes.
    void mirrorInsideReleaseRefused()
    {
        QVERIFY(writeFile(releaseDir + QStringLiteral("/a.txt"), "a"));
        const Result r = runTool({QStringLiteral("release"), QStringLiteral("--type"), Type,
                                  QStringLiteral("--version"), QStringLiteral("1"), QStringLiteral("--key"),
                                  devPrivateKey, releaseDir, releaseDir + QStringLiteral("/mirror")});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains("lies inside RELEASE_DIR"), r.err.constData());
        QCOMPARE(listTree(releaseDir), QStringList{QStringLiteral("a.txt")});
    }
};

QTEST_GUILESS_MAIN(TestPublishRelease)
#include "tst_publishrelease.moc"
