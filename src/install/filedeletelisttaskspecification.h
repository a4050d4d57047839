#pragma once

#include "task/composedtaskspecification.h"

#include <QList>
#include <QString>

// The last stage of a run: deletes every file of the delete list (obsolete
// files and the backups the installation made), one after the other.
// Failures are ignored silently; the stage finishes unless the user cancels.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteListTaskSpecification(QList<QString>* deleteList, QObject* parent, double weight);
    ~FileDeleteListTaskSpecification() override;

    void execute() override;
    void reset() override;

    // Plans one deletion per entry of the list as it is now, so that the
    // backups added by the installation are included.
    void makeSubtasksAndStart();

    QList<QString>* deleteList;
};
