#pragma once

#include <QList>
#include <QString>

class QObject;

// One undo record of the installation journal.
class RollbackData
{
public:
    enum Operation {
        Rename = 0,     // undo: rename path back to originalPath
        CreateFile = 1, // undo: delete the file path
        CreateDir = 2   // undo: remove the directory path if it is empty
    };

    RollbackData(Operation operation, const QString& path);
    // For Rename: the file was renamed from `from` to `to`.
    RollbackData(Operation operation, const QString& from, const QString& to);

    // Undoes the change; true when that worked. A failure is reported as a
    // warning line to messageTarget (may be null).
    bool rollback(QObject* messageTarget) const;

    // Calls the method "message(QString)" of target by name, if target is not
    // null. For a task that is its message signal, so the text ends up in the
    // details log.
    static void message(QObject* target, QString text);

    QString path;         // created file or directory, or the name after a rename
    QString originalPath; // the name before a rename; empty otherwise
    Operation operation;
};

// A journal of undo records, oldest first, held in memory only. Rolling it
// back undoes the records newest first and empties it.
class RollbackDataList
{
public:
    RollbackDataList();

    void add(const RollbackData& data);
    // Appends all records of other, in their order; other stays as it is.
    void appendList(const RollbackDataList& other);
    void clear();
    // Undoes every record, newest first, and goes on past failed steps;
    // false when at least one step failed. The journal is empty afterwards.
    bool rollback(QObject* messageTarget);

    const QList<RollbackData>& records() const { return list; }
    bool isEmpty() const { return list.isEmpty(); }
    qsizetype size() const { return list.size(); }

private:
    QList<RollbackData> list;
};
