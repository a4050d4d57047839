#pragma once

#include "task/fastfileoptaskspecification.h"

// Deletes one file. Unless mustSucceed is set the task always finishes and
// says nothing; a missing file counts as a failed deletion. Nothing is
// recorded: a deletion cannot be undone.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteTaskSpecification(bool mustSucceed, const QString& path, QObject* parent, double weight);
    ~FileDeleteTaskSpecification() override;

    bool doOp() override;

    bool mustSucceed;
};
