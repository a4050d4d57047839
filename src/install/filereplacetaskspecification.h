#pragma once

#include "install/rollback.h"
#include "manifest/makedownloadreplacelisttaskspecification.h"
#include "task/composedtaskspecification.h"

#include <QList>
#include <QString>

class Configuration;

// Installs one downloaded file into the installation directory, one step at
// a time: delete a backup left by an earlier run, move the installed file
// aside to its backup name ("_old_" + name), copy the new file into place or
// unpack it and verify its checksum. The installed file is never
// overwritten in place.
//
// The steps record into this task's own journal. If a step fails or the
// user cancels, the journal is rolled back at once, so the installed file is
// back in place. On success the journal is handed on to the stage's journal,
// the backup goes on the run's delete list (unless it belongs to the
// updater's own files, which stay until the next start), and program files
// are made executable.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileReplaceTaskSpecification(const FileReplaceSpecification& entry, QList<QString>* deleteList,
                                 RollbackDataList* stageRollbackList, Configuration* configuration,
                                 QObject* parent, double weight);
    ~FileReplaceTaskSpecification() override;

    void execute() override;
    // Discards the steps and undoes what this task's journal still holds.
    void reset() override;
    // Commits to the stage or undoes, then ends the task.
    void subtasksDone() override;

    // Plans the steps from what is on disk now and starts them.
    void makeSubtasksAndStart();
    // Gives program files and shared libraries mode 0755; other files keep
    // the mode they were installed with.
    void makeSingleFileExecutable(const QString& path);

    FileReplaceSpecification specification;
    QList<QString>* deleteList;
    RollbackDataList* stageRollbackList;
    RollbackDataList rollbackList;
    Configuration* configuration;
    bool oldFileRenamed; // this execution moves the installed file aside
};
