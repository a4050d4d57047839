#pragma once

#include <QList>
#include <QString>

// One file to fetch: where it lies on the mirrors, what it must hash to and
// how big it is as stored there.
struct FileDownloadSpecification
{
    QString section;  // manifest section: the file's directory on the mirrors
    QString fileName; // path below the section, and below the temporary directory
    QString md5;      // MD5 of the file as stored on the mirror
    quint64 size = 0; // size of the file as stored on the mirror
};

// One file to install. With an unpacked name the downloaded file is gzip data
// that is unpacked on installation under that name.
struct FileReplaceSpecification
{
    QString section;
    QString fileName;
    QString unpackedMd5;
    quint64 unpackedSize = 0;
    QString unpackedFileName;

    bool hasUnzip() const;
    // Destination path relative to the installation directory.
    QString pureDestFilePath() const;
    // The destination with prefix put before its last path component.
    QString destFileName(const QString& prefix) const;
    // Where the previous version of the file is set aside while installing.
    QString oldDestFileName() const;
};

// The three work lists of one run.
struct FileSpecifications
{
    QList<FileDownloadSpecification> downloadList;
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList; // paths relative to the installation directory

    void clear();
};
