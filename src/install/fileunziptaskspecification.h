#pragma once

#include "task/slowfileoptaskspecification.h"

// Unpacks a gzip file (source) into destination on a pool thread, streaming
// in 16 KiB blocks. Data that is not in gzip format is copied unchanged
// (zlib's transparent mode); the checksum test after the unpacking decides
// whether it is right. A truncated or corrupt stream, a failed write or a
// failed sync is a failure, and whatever was written is removed again.
class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnzipFunc(const QString& source, const QString& destination);
    ~FileUnzipFunc() override;

    bool run() override;

    // Note the order: the output first. Creates or truncates outputPath; on
    // failure it is removed, unless it could not even be opened (then this
    // call has not touched it).
    bool unzipFile(const QString& outputPath, const QString& gzipPath);
};

// Installs one packed file; on success the destination is recorded for a
// rollback, on failure "Could not unzip '%1' to '%2'" goes to the log.
class FileUnzipTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnzipTaskSpecification(RollbackDataList* rollbackList, const QString& source, const QString& destination,
                               QObject* parent, double weight);
    ~FileUnzipTaskSpecification() override;

    ASyncFunc* createFunction() override;
};
