#pragma once

#include "install/rollback.h"
#include "manifest/makedownloadreplacelisttaskspecification.h"
#include "task/composedtaskspecification.h"

#include <QList>
#include <QString>

class Configuration;

// The installation stage: creates the missing directories of the replace
// list, then replaces its files, two at a time. Every change is collected in
// the stage journal; if anything fails or the user cancels, the whole
// installation is undone: replaced files get their backups back, new files
// and the created directories go.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification>* replaceList, QList<QString>* deleteList,
                                     Configuration* configuration, QObject* parent, double weight);
    ~FileReplaceListTaskSpecification() override;

    void execute() override;
    // Discards the subtasks and undoes everything the journal holds.
    void reset() override;
    void subtasksDone() override;

    void makeSubtasksAndStart();
    // Adds one task per missing target directory, parents first; returns
    // how many.
    int makeSubdirTasks();
    // Adds one replacement per entry; with directory tasks they share 0.9 of
    // the stage, otherwise all of it.
    void makeFileReplaceTasks(bool haveDirTasks);

    QList<FileReplaceSpecification>* replaceList;
    QList<QString>* deleteList;
    RollbackDataList rollbackList;
    Configuration* configuration;
};
