#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "app/configuration.h"
#include "app/updateinidata.h"

// The session record in the group "current" of update.ini.
class TestUpdateIniData : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir* root = nullptr;

    void writeIni(const QByteArray& content)
    {
        QFile file(UpdateIniData::filename());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    static QByteArray settingsGroups()
    {
        return "[Channel]\nalpha=mirror.example/alpha\nbeta=1\nalphaRevno=17\n"
               "[update]\nproxy=proxy.example:3128\nstreams=4\n";
    }

    void checkSettingsGroupsKept()
    {
        const QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
        QCOMPARE(settings.value("Channel/alpha").toString(), QStringLiteral("mirror.example/alpha"));
        QCOMPARE(settings.value("Channel/beta").toString(), QStringLiteral("1"));
        QCOMPARE(settings.value("Channel/alphaRevno").toString(), QStringLiteral("17"));
        QCOMPARE(settings.value("update/proxy").toString(), QStringLiteral("proxy.example:3128"));
        QCOMPARE(settings.value("update/streams").toString(), QStringLiteral("4"));
    }

private slots:
    void init()
    {
        root = new QTemporaryDir;
        QVERIFY(root->isValid());
        Configuration::setAppRootPath(root->path());
    }

    void cleanup()
    {
        Configuration::setAppRootPath(QString());
        delete root;
        root = nullptr;
    }

    void filename()
    {
        QCOMPARE(UpdateIniData::filename(), root->path() + "/update.ini");
    }

    void presence_data()
    {
        QTest::addColumn<QByteArray>("content"); // "$DIR" stands for an existing directory
        QTest::addColumn<bool>("present");
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("type");

        QTest::newRow("complete") << QByteArray("[current]\nversion=42\ndir=$DIR\ntype=client_linux_x86\n")
                                  << true << 42 << "client_linux_x86";
        QTest::newRow("dir names a file") << QByteArray("[current]\nversion=3\ndir=$DIR/update.ini\ntype=t\n")
                                          << true << 3 << "t";
        QTest::newRow("version not a number") << QByteArray("[current]\nversion=4x\ndir=$DIR\ntype=t\n")
                                              << false << 0 << "";
        QTest::newRow("version missing") << QByteArray("[current]\ndir=$DIR\ntype=t\n") << false << 0 << "";
        QTest::newRow("type empty") << QByteArray("[current]\nversion=4\ndir=$DIR\ntype=\n") << false << 0 << "";
        QTest::newRow("type missing") << QByteArray("[current]\nversion=4\ndir=$DIR\n") << false << 0 << "";
        QTest::newRow("dir empty") << QByteArray("[current]\nversion=4\ndir=\ntype=t\n") << false << 0 << "";
        QTest::newRow("dir gone") << QByteArray("[current]\nversion=4\ndir=$DIR/gone\ntype=t\n")
                                  << false << 0 << "";
        QTest::newRow("other groups only") << settingsGroups() << false << 0 << "";
        QTest::newRow("no file") << QByteArray() << false << 0 << "";
    }

    // A record counts only when complete; otherwise the out-parameters stay.
    void presence()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, present);
        QFETCH(int, version);
        QFETCH(QString, type);

        const QString dir = root->path();
        if (!content.isEmpty())
            writeIni(content.replace("$DIR", QFile::encodeName(dir)));

        int gotVersion = -1;
        QString gotType = QStringLiteral("untouched");
        QString gotDir = QStringLiteral("untouched");
        QCOMPARE(UpdateIniData::get(&gotVersion, &gotType, &gotDir), present);
        QCOMPARE(UpdateIniData::get(nullptr, nullptr, nullptr), present);
        if (present) {
            QCOMPARE(gotVersion, version);
            QCOMPARE(gotType, type);
            QVERIFY(gotDir.startsWith(dir));
        } else {
            QCOMPARE(gotVersion, -1);
            QCOMPARE(gotType, QStringLiteral("untouched"));
            QCOMPARE(gotDir, QStringLiteral("untouched"));
        }
    }

    // Writing and removing the record leaves the settings groups alone.
    void modifyAndCleanup()
    {
        writeIni(settingsGroups() + "[current]\nversion=1\ndir=/old\ntype=old\n");
        // A temporary directory may hold blanks, commas and non-ASCII letters.
        const QString tempDir = root->path() + QString::fromUtf8("/kestrune temp, ü_123");
        QVERIFY(QDir().mkpath(tempDir));

        UpdateIniData::modify(7, tempDir, QStringLiteral("client_linux_x86"));
        checkSettingsGroupsKept();
        int version = 0;
        QString type, dir;
        QVERIFY(UpdateIniData::get(&version, &type, &dir));
        QCOMPARE(version, 7);
        QCOMPARE(type, QStringLiteral("client_linux_x86"));
        QCOMPARE(dir, tempDir);

        UpdateIniData::cleanup();
        checkSettingsGroupsKept();
        QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
        const QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
        QCOMPARE(settings.childGroups(), QStringList({ "Channel", "update" }));
        QVERIFY(QFileInfo(tempDir).isDir());
    }

    void modifyCreatesFile()
    {
        UpdateIniData::modify(5, root->path(), QStringLiteral("t"));
        int version = 0;
        QVERIFY(UpdateIniData::get(&version, nullptr, nullptr));
        QCOMPARE(version, 5);
    }

    void cleanupWithoutFileCreatesNone()
    {
        UpdateIniData::cleanup();
        QVERIFY(!QFile::exists(UpdateIniData::filename()));
    }
};

QTEST_GUILESS_MAIN(TestUpdateIniData)
#include "tst_updateinidata.moc"
