#pragma once

#include "manifest/makedownloadreplacelisttaskspecification.h"
#include "task/composedtaskspecification.h"

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The root task of one update run. It owns the run's work lists and runs
// the five stages strictly one after the other: fetch and verify the
// manifest, compute the work lists, download, install, delete obsolete
// files. Its progress is the run's overall progress.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    MainTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors, Configuration* configuration,
                          QObject* parent, double weight);

    void execute() override;
    // Discards the stages and empties the work lists.
    void reset() override;

    void makeSubtasksAndStart();

    // Shares of the overall progress.
    static constexpr double ManifestWeight = 0.1;
    static constexpr double WorkListWeight = 0.05;
    static constexpr double DownloadWeight = 0.4;
    static constexpr double InstallWeight = 0.4;
    static constexpr double DeleteWeight = 0.05;

    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* configuration;
    FileSpecifications fileSpecifications;
};
