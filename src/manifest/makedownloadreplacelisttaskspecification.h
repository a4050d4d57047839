#pragma once

#include "task/asynctaskspecification.h"

#include <QList>
#include <QString>

// One file to fetch: where it lies on the mirrors, what it must hash to and
// how big it is as stored there.
struct FileDownloadSpecification
{
    QString section;  // manifest section: the file's directory on the mirrors
    QString fileName; // path below the section, and below the temporary directory
    QString md5;      // MD5 of the file as stored on the mirror
    quint64 size = 0; // size of the file as stored on the mirror
};

// One file to install. With an unpacked name the downloaded file is gzip data
// that is unpacked on installation under that name.
struct FileReplaceSpecification
{
    QString section;
    QString fileName;
    QString unpackedMd5;
    quint64 unpackedSize = 0;
    QString unpackedFileName;

    bool hasUnzip() const;
    // Destination path relative to the installation directory.
    QString pureDestFilePath() const;
    // The destination with prefix put before its last path component.
    QString destFileName(const QString& prefix) const;
    // Where the previous version of the file is set aside while installing.
    QString oldDestFileName() const;
};

// The three work lists of one run.
struct FileSpecifications
{
    QList<FileDownloadSpecification> downloadList;
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList; // paths relative to the installation directory

    void clear();
};

class Configuration;
class QSettings;

// Compiles the three work lists of a run from the verified product manifest
// (tempDir/updateType.ini): every file entry whose installed copy does not
// carry the listed MD5 goes to the replace list, and to the download list
// too unless an intact copy already lies in the temporary directory; the
// existing files of the "delete" section go to the delete list.
//
// The MD5 checks of installed and downloaded files run in parallel on a
// private pool sized to the machine; the lists keep the manifest's order
// (sections and keys as QSettings sorts them) all the same.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT

public:
    // Takes copies of the paths it needs; 'specifications' is the record it
    // fills, which nobody else touches until the result has been delivered.
    MakeDownloadReplaceListFunc(Configuration* configuration, FileSpecifications& specifications);
    ~MakeDownloadReplaceListFunc() override;

    bool run() override;
    // Number of keys in all sections, the "delete" section included.
    int getFileCount(QSettings& settings);

    Configuration* configuration;
    FileSpecifications* specifications;

private:
    QString appRootPath;
    QString tempDir;
    QString updateType;
};

// The stage that runs MakeDownloadReplaceListFunc. The work fills the task's
// own compiledSpecifications; only a successful result is handed to the run's
// record, on the main thread.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    MakeDownloadReplaceListTaskSpecification(Configuration* configuration, FileSpecifications& specifications,
                                             QObject* parent, double weight);
    ~MakeDownloadReplaceListTaskSpecification() override;

    ASyncFunc* createFunction() override;
    void runDone(bool ok) override;

    Configuration* configuration;
    FileSpecifications& specifications;
    FileSpecifications compiledSpecifications;
};
