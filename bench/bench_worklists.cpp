// Work-list benchmark: computes the work lists of a manifest against an
// installation, as the update does (checks on all cores), and hashes the
// same installed files one after another on one thread for comparison.
//
//   build/kr3-publish release --type t --version 1 --key keys/dev-private.key DIR /tmp/mirror
//   build/bench/bench_worklists DIR /tmp/mirror/1/t.ini
//
// Against the release itself every file is current, so both runs hash every
// installed file once. Run each twice to compare with a warm page cache.

#include "app/configuration.h"
#include "manifest/checksignaturetaskspecification.h"
#include "manifest/makedownloadreplacelisttaskspecification.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_worklists INSTALLATION_DIR MANIFEST\n");
        return 2;
    }
    const QString installation = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const QString manifest = QString::fromLocal8Bit(argv[2]);
    QTemporaryDir temp;
    const QString type = QFileInfo(manifest).completeBaseName();
    if (!QFile::copy(manifest, temp.filePath(type + QStringLiteral(".ini")))) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 2;
    }

    Configuration configuration;
    configuration.tempDir = temp.path();
    configuration.updateType = type;
    Configuration::setAppRootPath(installation);

    FileSpecifications lists;
    MakeDownloadReplaceListFunc func(&configuration, lists);
    QElapsedTimer timer;
    timer.start();
    if (!func.run()) {
        std::fprintf(stderr, "the work lists could not be computed\n");
        return 1;
    }
    const qint64 parallelMs = timer.elapsed();

    // The same installed-file checks, one after another.
    QSettings ini(temp.filePath(type + QStringLiteral(".ini")), QSettings::IniFormat);
    int files = 0;
    timer.restart();
    for (const QString& section : ini.childGroups()) {
        if (section == QLatin1String("delete"))
            continue;
        ini.beginGroup(section);
        for (const QString& key : ini.allKeys()) {
            const QStringList fields = ini.value(key).toString().split(QStringLiteral("::"));
            const bool packed = fields.size() == 5;
            CheckSigFunc check(installation + QLatin1Char('/') + (packed ? fields[4] : key), packed ? fields[2] : fields[0]);
            check.run();
            ++files;
        }
        ini.endGroup();
    }
    const qint64 sequentialMs = timer.elapsed();

    std::printf("%d files: work lists %lld ms on %d threads, sequential hashing %lld ms; "
                "%lld to download, %lld to install, %lld to delete\n",
                files, parallelMs, QThread::idealThreadCount(), sequentialMs, qint64(lists.downloadList.size()),
                qint64(lists.replaceList.size()), qint64(lists.deleteList.size()));
    return 0;
}
