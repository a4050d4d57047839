#pragma once

#include <QString>

// The record of the running update in "update.ini" (group "current"):
// the version updated to, its temporary directory and the build type. It
// lets the next start resume an interrupted run or clean up after it.
class UpdateIniData
{
public:
    UpdateIniData() = delete;

    // Path of "update.ini" in the installation directory.
    static QString filename();
    // True when a complete record is present: a numeric version, a type, and
    // a directory that exists. Only then are the non-null out-parameters set.
    static bool get(int* version, QString* type, QString* dir);
    // Writes the record; the file's other groups keep their values.
    static void modify(int version, const QString& dir, const QString& type);
    // Removes the record and nothing else.
    static void cleanup();
};
