#include "install/filedeletelisttaskspecification.h"

#include "app/configuration.h"
#include "install/filedeletetaskspecification.h"

#include <QDir>
#include <QFileInfo>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<QString>* deleteList, QObject* parent,
                                                                 double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , deleteList(deleteList)
{
}

FileDeleteListTaskSpecification::~FileDeleteListTaskSpecification() = default;

void FileDeleteListTaskSpecification::execute()
{
    emit message(tr("Starting file deletes"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    if (deleteList && !deleteList->isEmpty()) {
        const QDir appRoot(Configuration::getAppRootPath());
        const double each = 1.0 / deleteList->size();
        for (const QString& entry : std::as_const(*deleteList))
            addSubTask(new FileDeleteTaskSpecification(false, QFileInfo(appRoot, entry).filePath(), this, each));
    }
    state = Running;
    executeSubTasks();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    TaskSpecification::reset();
}
