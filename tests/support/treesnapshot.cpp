#include "treesnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace {
QByteArray hashOf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArrayLiteral("(unreadable)");
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QByteArrayLiteral("(unreadable)");
    return hash.result().toHex();
}

QString typeName(TreeSnapshot::Type type)
{
    switch (type) {
    case TreeSnapshot::File:
        return QStringLiteral("file");
    case TreeSnapshot::Dir:
        return QStringLiteral("dir");
    case TreeSnapshot::SymLink:
        return QStringLiteral("symlink");
    case TreeSnapshot::Other:
        break;
    }
    return QStringLiteral("special file");
}

QString octal(uint mode)
{
    return QStringLiteral("%1").arg(mode, 4, 8, QLatin1Char('0'));
}
} // namespace

TreeSnapshot TreeSnapshot::take(const QString& root)
{
    TreeSnapshot snapshot;
    snapshot.rootPath = QDir(root).absolutePath();
    const QDir rootDir(snapshot.rootPath);
    QDirIterator it(snapshot.rootPath, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        Entry entry;
        entry.mode = st.st_mode & 07777;
        if (S_ISREG(st.st_mode)) {
            entry.type = File;
            entry.size = st.st_size;
            entry.hash = hashOf(path);
        } else if (S_ISDIR(st.st_mode)) {
            entry.type = Dir;
        } else if (S_ISLNK(st.st_mode)) {
            entry.type = SymLink;
            QByteArray target(4096, '\0');
            const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target.data(), target.size());
            entry.hash = target.left(n < 0 ? 0 : n);
        }
        snapshot.entryMap.insert(rootDir.relativeFilePath(path), entry);
    }
    return snapshot;
}

QString TreeSnapshot::describe(const Entry& entry)
{
    QString text = typeName(entry.type) + QStringLiteral(", mode ") + octal(entry.mode);
    if (entry.type == File)
        text += QStringLiteral(", %1 bytes, sha256 %2").arg(entry.size).arg(QString::fromLatin1(entry.hash.left(12)));
    else if (entry.type == SymLink)
        text += QStringLiteral(" -> ") + QFile::decodeName(entry.hash);
    return text;
}

QString TreeSnapshot::describe() const
{
    QStringList lines;
    for (auto it = entryMap.cbegin(); it != entryMap.cend(); ++it)
        lines << it.key() + QStringLiteral(" (") + describe(it.value()) + QLatin1Char(')');
    return lines.join(QLatin1Char('\n'));
}

QString TreeSnapshot::difference(const TreeSnapshot& before, const TreeSnapshot& after)
{
    QStringList lines;
    QStringList paths = before.entryMap.keys() + after.entryMap.keys();
    paths.sort();
    paths.removeDuplicates();
    for (const QString& path : std::as_const(paths)) {
        const auto b = before.entryMap.constFind(path);
        const auto a = after.entryMap.constFind(path);
        if (a == after.entryMap.cend()) {
            lines << QStringLiteral("only before: %1 (%2)").arg(path, describe(*b));
            continue;
        }
        if (b == before.entryMap.cend()) {
            lines << QStringLiteral("only after: %1 (%2)").arg(path, describe(*a));
            continue;
        }
        if (*a == *b)
            continue;
        QStringList what;
        if (b->type != a->type)
            what << QStringLiteral("%1 -> %2").arg(typeName(b->type), typeName(a->type));
        if (b->mode != a->mode)
            what << QStringLiteral("mode %1 -> %2").arg(octal(b->mode), octal(a->mode));
        if (b->size != a->size)
            what << QStringLiteral("size %1 -> %2").arg(b->size).arg(a->size);
        if (b->type == a->type && b->hash != a->hash)
            what << (a->type == SymLink ? QStringLiteral("link target") : QStringLiteral("content"));
        lines << QStringLiteral("changed: %1: %2").arg(path, what.join(QStringLiteral(", ")));
    }
    return lines.join(QLatin1Char('\n'));
}

TreeSnapshot TreeSnapshot::without(const QStringList& relativePaths) const
{
    TreeSnapshot copy = *this;
    for (auto it = copy.entryMap.begin(); it != copy.entryMap.end();) {
        bool drop = false;
        for (const QString& p : relativePaths) {
            if (it.key() == p || it.key().startsWith(p + QLatin1Char('/'))) {
                drop = true;
                break;
            }
        }
        it = drop ? copy.entryMap.erase(it) : std::next(it);
    }
    return copy;
}
