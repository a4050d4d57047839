#pragma once

#include "task/asynctaskspecification.h"

#include <QByteArray>
#include <QString>

// Verifies one file: against an expected MD5 sum, or, when no sum is given,
// against its detached signature (the file's path + ".sig") under the
// embedded public key. Runs on a pool thread for its task, or synchronously
// where the work-list computation calls run() itself.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT

public:
    CheckSigFunc(const QString& filePath, const QString& md5);

    bool run() override;

    // Streams the file through MD5 and compares with the expected sum,
    // ignoring letter case. Memory use does not depend on the file's size.
    bool checkMD5();
    // Verifies the file against its ".sig" file with the embedded key.
    bool checkRSA();
    // Reads a whole (small) file.
    bool readFile(const QString& path, QByteArray& data);

private:
    QString filePath;
    QString md5;
};

// The task that runs one CheckSigFunc and reports the verdict with
// checkDone before it ends. A failed check ends the task with an error only
// when errorOnFailure is set; otherwise the task finishes and the parent
// decides from checkDone what to do.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    CheckSignatureTaskSpecification(const QString& filePath, const QString& md5, bool errorOnFailure,
                                    QObject* parent, double weight);

    ASyncFunc* createFunction() override;
    void runDone(bool ok) override;

signals:
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);

private:
    QString filePath;
    QString md5;
    bool errorOnFailure;
};
