#include "install/fileunziptaskspecification.h"

#include <QFile>

#include <array>

#include <zlib.h>

namespace {
constexpr unsigned UnzipBlockSize = 16384;
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
    gzrewind(gz);

    std::array<char, UnzipBlockSize> block;
    for (;;) {
        const int n = gzread(gz, block.data(), UnzipBlockSize);
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
        if (out.write(block.data(), n) != n)
            return fail(gz);
    }

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
