#pragma once

#include "task/fastfileoptaskspecification.h"

// Creates a directory together with its missing ancestors, outermost first,
// and records each directory it created, so that a rollback removes them
// innermost first. An existing directory is success with nothing recorded.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    DirCreateTaskSpecification(const QString& path, RollbackDataList* rollbackList, QObject* parent, double weight);
    ~DirCreateTaskSpecification() override;

    bool doOp() override;

    // Creates dir after its missing ancestors; emits the reason and returns
    // false when that is not possible.
    bool tryCreateDir(const QString& dir);
};
