#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The entries of a directory tree as the release command sees them, with
// paths relative to the tree's root ("/" between components), each list
// sorted. Symbolic links are listed, never followed.
class ReleaseTree
{
public:
    struct File
    {
        QString path;
        qint64 size = 0;
    };

    // Walks the tree below root. False when root is not a readable
    // directory; everything else found is sorted into the lists below.
    bool scan(const QString& root);

    QString root;
    QList<File> files;               // regular files
    QStringList symlinks;            // symbolic links (to anything)
    QStringList specialFiles;        // FIFOs, sockets, device files
    QStringList emptyDirectories;    // directories without any entry
    QStringList unreadableDirectories;
    // Names that are not valid UTF-8: they cannot be written to the
    // manifest and their files cannot even be opened by name.
    QStringList undecodableNames;
};
