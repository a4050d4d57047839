#pragma once

#include "manifest/makedownloadreplacelisttaskspecification.h"
#include "task/composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// One file of the download stage: the download from a mirror into the
// temporary directory, then the MD5 check against the manifest. A file that
// fails its check costs the mirror that delivered it its place in the pool
// and is fetched again from another one, until the pool is empty.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    DownloadFileTaskSpecification(const FileDownloadSpecification& file, QNetworkAccessManager* networkManager,
                                  Mirrors* mirrors, Configuration* configuration, QObject* parent, double weight);
    ~DownloadFileTaskSpecification() override;

    void execute() override;
    // Discards the download and the check.
    void reset() override;

    // Builds the download (share 0.8) and the check (0.2) and starts them.
    void makeSubtasksAndStart();

    QString section;
    QString fileName;
    QString md5;
    quint64 size;
    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* configuration;
    // The current download; null before the first start and after a reset.
    DownloadTaskSpecification* download;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);
};
