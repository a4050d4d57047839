#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "app/configuration.h"
#include "app/processtools.h"

class TestProcessTools : public QObject
{
    Q_OBJECT

private slots:
    // The start script of an installation whose path has blanks runs as one
    // program, without arguments, in the updater's working directory.
    void startsClientScript()
    {
        QTemporaryDir base;
        QVERIFY(base.isValid());
        const QString installDir = base.path() + "/Kestrune 3 Client";
        const QString workDir = base.path() + "/work dir";
        QVERIFY(QDir().mkpath(installDir));
        QVERIFY(QDir().mkpath(workDir));
        const QString marker = base.path() + "/marker";

        QFile script(installDir + "/kr3client_runscript.sh");
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s|%s' \"$#\" \"$PWD\" > '" + QFile::encodeName(marker)
                     + ".part'\nmv '" + QFile::encodeName(marker) + ".part' '" + QFile::encodeName(marker) + "'\n");
        script.close();
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        const QString previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(workDir));
        Configuration::setAppRootPath(installDir);
        ProcessTools::startKr3Client();
        Configuration::setAppRootPath(QString());
        QDir::setCurrent(previousDir);

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 10000);
        QFile result(marker);
        QVERIFY(result.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(result.readAll()), "0|" + workDir);
    }
};

QTEST_GUILESS_MAIN(TestProcessTools)
#include "tst_processtools.moc"
