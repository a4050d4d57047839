#include "install/rollback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

RollbackData::RollbackData(Operation operation, const QString& path)
    : path(path)
    , operation(operation)
{
}

RollbackData::RollbackData(Operation operation, const QString& from, const QString& to)
    : path(to)
    , originalPath(from)
    , operation(operation)
{
}

void RollbackData::message(QObject* target, QString text)
{
    if (!target)
        return;
    QMetaObject::invokeMethod(target, "message", Q_ARG(QString, text));
}

bool RollbackData::rollback(QObject* messageTarget) const
{
    switch (operation) {
    case Rename:
        if (QFile::rename(path, originalPath))
            return true;
        // Named as the rename that is being undone, in its first direction.
        message(messageTarget, QObject::tr("warning: rollback rename %1 to %2 failed").arg(originalPath, path));
        return false;
    case CreateFile:
        if (QFile::remove(path))
            return true;
        message(messageTarget, QObject::tr("warning: rollback create file %1 failed").arg(path));
        return false;
    case CreateDir: {
        // rmdir fails for a directory that is not empty, which is intended:
        // only what the installation created and left empty goes.
        const QString dir = QDir::cleanPath(path);
        if (QFileInfo(dir).dir().rmdir(QDir(dir).dirName()))
            return true;
        message(messageTarget, QObject::tr("warning: rollback create dir %1 failed").arg(path));
        return false;
    }
    }
    qFatal("Should not reach here");
    return false;
}

RollbackDataList::RollbackDataList() = default;

void RollbackDataList::add(const RollbackData& data)
{
    list.append(data);
}

void RollbackDataList::appendList(const RollbackDataList& other)
{
    list.append(other.list);
}

void RollbackDataList::clear()
{
    list.clear();
}

bool RollbackDataList::rollback(QObject* messageTarget)
{
    bool result = true;
    while (!list.isEmpty()) {
        const RollbackData data = list.takeLast();
        if (!data.rollback(messageTarget))
            result = false;
    }
    return result;
}
