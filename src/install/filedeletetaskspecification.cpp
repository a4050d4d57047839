#include "install/filedeletetaskspecification.h"

#include <QFile>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool mustSucceed, const QString& path, QObject* parent,
                                                         double weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , mustSucceed(mustSucceed)
{
}

FileDeleteTaskSpecification::~FileDeleteTaskSpecification() = default;

bool FileDeleteTaskSpecification::doOp()
{
    const bool removed = QFile::remove(path);
    if (!mustSucceed || removed)
        return true;
    emit message(tr("Could not delete '%1'").arg(path));
    return false;
}
