#include "install/filecopytaskspecification.h"

#include <QFile>

#include <memory>

namespace {
// Few system calls per megabyte, yet a bounded amount of memory per copy
// (two copies may run at once).
constexpr qint64 CopyBlockSize = 1024 * 1024;
} // namespace

FileCopyFunc::FileCopyFunc(const QString& source, const QString& destination)
    : SlowFileOpFunc(source, destination)
{
}

FileCopyFunc::~FileCopyFunc() = default;

bool FileCopyFunc::run()
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    // NewOnly: an existing destination is neither replaced nor touched.
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return false;

    // The source is read to its end rather than to the size it had when it
    // was opened.
    const std::unique_ptr<char[]> block(new char[CopyBlockSize]);
    bool ok = true;
    for (;;) {
        const qint64 n = in.read(block.get(), CopyBlockSize);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        // A short write is a failure too (disk full, file size limit).
        if (out.write(block.get(), n) != n) {
            ok = false;
            break;
        }
    }
    out.close();
    ok = ok && out.error() == QFileDevice::NoError;
    if (ok)
        ok = out.setPermissions(in.permissions());
    if (!ok)
        out.remove();
    return ok;
}

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& source,
                                                     const QString& destination, QObject* parent, double weight)
    : SlowFileOpSpecification(tr("Could not copy '%1' to '%2'").arg(source, destination), rollbackList, source,
                              destination, parent, weight)
{
}

FileCopyTaskSpecification::~FileCopyTaskSpecification() = default;

ASyncFunc* FileCopyTaskSpecification::createFunction()
{
    return new FileCopyFunc(source, destination);
}
