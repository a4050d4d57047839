#include "releasetree.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace {

void sortPaths(QStringList& paths)
{
    std::sort(paths.begin(), paths.end());
}

} // namespace

bool ReleaseTree::scan(const QString& rootPath)
{
    root = QDir::cleanPath(rootPath);
    files.clear();
    symlinks.clear();
    specialFiles.clear();
    emptyDirectories.clear();
    unreadableDirectories.clear();
    undecodableNames.clear();

    const QFileInfo rootInfo(root);
    if (!rootInfo.isDir() || !rootInfo.isReadable() || !rootInfo.isExecutable())
        return false;

    QSet<QString> directories;
    QSet<QString> parents; // directories that hold at least one entry
    const qsizetype prefixLength = root.size() + 1;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString path = it.filePath().mid(prefixLength);
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        parents.insert(slash < 0 ? QString() : path.left(slash));

        if (info.isSymLink()) {
            symlinks << path;
        } else if (info.isDir()) {
            directories.insert(path);
            // The iterator silently skips what it cannot list.
            if (!info.isReadable() || !info.isExecutable())
                unreadableDirectories << path;
        } else if (info.isFile()) {
            files.append({path, info.size()});
        } else if (!info.exists()) {
            // A name that does not decode cannot be found again by its
            // decoded form.
            undecodableNames << path;
        } else {
            specialFiles << path;
        }
    }
    for (const QString& dir : std::as_const(directories)) {
        if (!parents.contains(dir) && !unreadableDirectories.contains(dir))
            emptyDirectories << dir;
    }

    std::sort(files.begin(), files.end(), [](const File& a, const File& b) { return a.path < b.path; });
    sortPaths(symlinks);
    sortPaths(specialFiles);
    sortPaths(emptyDirectories);
    sortPaths(unreadableDirectories);
    sortPaths(undecodableNames);
    return true;
}
