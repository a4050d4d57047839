#pragma once

#include "task/slowfileoptaskspecification.h"

// Copies source to destination on a pool thread. The copy never replaces an
// existing destination; it streams in large blocks, checks every write,
// makes the new file durable before it reports success, gives it the
// source's permissions, and removes what it wrote if anything fails.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileCopyFunc(const QString& source, const QString& destination);
    ~FileCopyFunc() override;

    bool run() override;
};

// Installs one file by copying it; on success the destination is recorded
// for a rollback, on failure "Could not copy '%1' to '%2'" goes to the log.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& source, const QString& destination,
                              QObject* parent, double weight);
    ~FileCopyTaskSpecification() override;

    ASyncFunc* createFunction() override;
};
