#include "manifest/makedownloadreplacelisttaskspecification.h"

#include "app/configuration.h"

#include <QFileInfo>

bool FileReplaceSpecification::hasUnzip() const
{
    return !unpackedFileName.isEmpty();
}

QString FileReplaceSpecification::pureDestFilePath() const
{
    return hasUnzip() ? unpackedFileName : fileName;
}

QString FileReplaceSpecification::destFileName(const QString& prefix) const
{
    if (prefix.isEmpty())
        return pureDestFilePath();
    const QFileInfo info(pureDestFilePath());
    const QString name = prefix + info.fileName();
    const QString dir = info.path();
    return dir == QLatin1String(".") ? name : dir + QLatin1Char('/') + name;
}

QString FileReplaceSpecification::oldDestFileName() const
{
    return destFileName(Configuration::getSpecialFileRenamePrefix());
}

void FileSpecifications::clear()
{
    downloadList.clear();
    replaceList.clear();
    deleteList.clear();
}
