#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// A record of a directory tree: every entry below the root (not the root
// itself) with its type, permission bits, and for files the size and a
// SHA-256 of the content, for symbolic links the link text. Directory sizes
// are left out, since file systems grow them without shrinking them again.
// Symbolic links are not followed; FIFOs and other special files are
// recorded by type and mode only (their content is never read).
//
// Typical use:
//     const TreeSnapshot before = TreeSnapshot::take(root);
//     ... act ...
//     QCOMPARE(TreeSnapshot::difference(before, TreeSnapshot::take(root)), QString());
// which shows, on failure, one readable line per changed entry.
class TreeSnapshot
{
public:
    enum Type { File, Dir, SymLink, Other };

    struct Entry
    {
        Type type = Other;
        qint64 size = 0;  // files only
        uint mode = 0;    // permission bits, 07777
        QByteArray hash;  // files: SHA-256 of the content; links: the link text

        bool operator==(const Entry& other) const = default;
    };

    // Snapshots the tree below root; an unreadable root gives an empty tree.
    static TreeSnapshot take(const QString& root);

    // One line per difference, sorted by path: "only before: ...",
    // "only after: ..." or "changed: path: what"; empty when the trees match.
    static QString difference(const TreeSnapshot& before, const TreeSnapshot& after);

    // A copy without the given entries (relative paths) and everything below
    // them, for trees where some entries are expected to differ.
    TreeSnapshot without(const QStringList& relativePaths) const;

    // The whole tree, one line per entry, for messages and debugging.
    QString describe() const;

    bool operator==(const TreeSnapshot& other) const { return entryMap == other.entryMap; }

    const QMap<QString, Entry>& entries() const { return entryMap; }
    bool contains(const QString& relativePath) const { return entryMap.contains(relativePath); }
    Entry entry(const QString& relativePath) const { return entryMap.value(relativePath); }
    QString root() const { return rootPath; }

    static QString describe(const Entry& entry);

private:
    QString rootPath;
    QMap<QString, Entry> entryMap; // relative path -> entry
};
