#include "install/fileunziptaskspecification.h"

#include <QFile>

#include <vector>

#include <zlib.h>

namespace {
// zlib hands out the data in blocks of this size...
constexpr unsigned UnzipBlockSize = 16384;
// ...which are collected and written in fewer, larger writes; zlib reads
// the compressed file in chunks of the same size.
constexpr qsizetype WriteBufferSize = 256 * 1024;
} // namespace

FileUnzipFunc::FileUnzipFunc(const QString& source, const QString& destination)
    : SlowFileOpFunc(source, destination)
{
}

FileUnzipFunc::~FileUnzipFunc() = default;

bool FileUnzipFunc::run()
{
    return unzipFile(destination, source);
}

bool FileUnzipFunc::unzipFile(const QString& outputPath, const QString& gzipPath)
{
    QFile out(outputPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return false;

    const auto fail = [&out](gzFile gz) {
        if (gz)
            gzclose(gz);
        out.close();
        out.remove();
        return false;
    };

    // The file name in the file system's encoding: installation paths with
    // non-ASCII characters must work.
    gzFile gz = gzopen(QFile::encodeName(gzipPath).constData(), "rb");
    if (!gz)
        return fail(nullptr);
    gzbuffer(gz, WriteBufferSize);
    gzrewind(gz);

    std::vector<char> buffer(WriteBufferSize);
    qsizetype filled = 0;
    for (;;) {
        const int n = gzread(gz, buffer.data() + filled, UnzipBlockSize);
        if (n < 0)
            return fail(gz);
        if (n == 0) {
            // gzread ends a stream cut short like a complete one and only
            // keeps the error (Z_BUF_ERROR) for gzerror; a truncated
            // download must not pass for a complete file.
            int err = Z_OK;
            gzerror(gz, &err);
            if (err != Z_OK)
                return fail(gz);
            break;
        }
        filled += n;
        if (WriteBufferSize - filled < qsizetype(UnzipBlockSize)) {
            if (out.write(buffer.data(), filled) != filled)
                return fail(gz);
            filled = 0;
        }
    }
    if (filled > 0 && out.write(buffer.data(), filled) != filled)
        return fail(gz);

    const int closed = gzclose(gz);
    if (closed != Z_OK)
        return fail(nullptr);
    out.close();
    if (out.error() != QFileDevice::NoError)
        return fail(nullptr);
    return true;
}

FileUnzipTaskSpecification::FileUnzipTaskSpecification(RollbackDataList* rollbackList, const QString& source,
                                                       const QString& destination, QObject* parent, double weight)
    : SlowFileOpSpecification(tr("Could not unzip '%1' to '%2'").arg(source, destination), rollbackList, source,
                              destination, parent, weight)
{
}

FileUnzipTaskSpecification::~FileUnzipTaskSpecification() = default;

ASyncFunc* FileUnzipTaskSpecification::createFunction()
{
    return new FileUnzipFunc(source, destination);
}
