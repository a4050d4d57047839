#pragma once

#include "manifest/makedownloadreplacelisttaskspecification.h"
#include "task/composedtaskspecification.h"

#include <QList>

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The download stage of a run: fetches every file of the run's download
// list into the temporary directory, downloadConcurrency files at a time,
// each checked against its MD5 sum. Every file has the same share of the
// stage's progress; the transfer figures count all listed bytes from the
// start.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    DownloadFileListTaskSpecification(QList<FileDownloadSpecification>* files, QNetworkAccessManager* networkManager,
                                      Mirrors* mirrors, Configuration* configuration, QObject* parent, double weight);
    ~DownloadFileListTaskSpecification() override;

    void execute() override;
    // Discards the file tasks and the total.
    void reset() override;
    // The figures of the running downloads, with the total of all listed
    // files as bytes expected.
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override;

    // Creates the subdirectories of the temporary directory that the listed
    // files need. On failure the stage has ended with an error.
    bool makeSubDirs();
    void makeSubtasksAndStart();

    QList<FileDownloadSpecification>* files;
    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* configuration;
    quint64 totalSize;
};
