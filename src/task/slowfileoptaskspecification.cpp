#include "task/slowfileoptaskspecification.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {
// EINVAL and EROFS: the object or its file system does not support syncing;
// there is nothing more that could be done for it.
bool syncDescriptor(int fd)
{
    if (::fsync(fd) == 0)
        return true;
    return errno == EINVAL || errno == EROFS;
}
} // namespace

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& destination)
    : source(source)
    , destination(destination)
{
}

SlowFileOpFunc::~SlowFileOpFunc() = default;

bool SlowFileOpFunc::syncToDisk(QFile& file)
{
    if (!file.flush() || !syncDescriptor(file.handle()))
        return false;
    const QByteArray dir = QFile::encodeName(QFileInfo(file.fileName()).absolutePath());
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    const bool ok = syncDescriptor(dirFd);
    ::close(dirFd);
    return ok;
}

SlowFileOpSpecification::SlowFileOpSpecification(QString failureMessage, RollbackDataList* rollbackList,
                                                 const QString& source, const QString& destination,
                                                 QObject* parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , rollbackList(rollbackList)
    , source(source)
    , destination(destination)
    , failureMessage(std::move(failureMessage))
{
}

SlowFileOpSpecification::~SlowFileOpSpecification() = default;

void SlowFileOpSpecification::runDone(bool res)
{
    // Recorded even when the task was reset meanwhile: the file was written
    // all the same, and a rollback has to remove it.
    if (res) {
        if (rollbackList)
            rollbackList->add(RollbackData(RollbackData::CreateFile, destination));
    } else {
        emit message(failureMessage);
    }
    ASyncTaskSpecification::runDone(res);
}
