#pragma once

#include "task/composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The first stage of a run: brings the product manifest (updateType + ".ini")
// and its detached signature into the temporary directory and verifies the
// signature. Files left there by an earlier attempt are reused for the first
// check only; after a failed check both are downloaded again, up to 1000
// times, and then the stage gives up.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // Verifications after the first one before the stage gives up.
    static constexpr int MaxRetries = 1000;

    IniDownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                 Configuration* configuration, QObject* parent, double weight);
    ~IniDownloadTaskSpecification() override;

    void execute() override;
    // Discards the subtasks and the count of failed verifications.
    void reset() override;

    // Plans the downloads that are needed and the check, and starts them.
    void makeSubtasksAndStart();

    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* configuration;
    int retryCount;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);
};
