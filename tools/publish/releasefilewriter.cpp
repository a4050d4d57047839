#include "releasefilewriter.h"

#include <QCryptographicHash>
#include <QFile>

namespace {

constexpr size_t BufferSize = 256 * 1024;

QString hex(const QCryptographicHash& hash)
{
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

ReleaseFileWriter::ReleaseFileWriter()
    : inBuffer(BufferSize)
    , outBuffer(BufferSize)
{
}

ReleaseFileWriter::~ReleaseFileWriter()
{
    if (deflateReady)
        deflateEnd(&zs);
}

bool ReleaseFileWriter::fail(const QString& text)
{
    lastError = text;
    return false;
}

bool ReleaseFileWriter::copy(const QString& source, const QString& destination, StoredFileInfo& info)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return fail(QStringLiteral("cannot write %1: %2").arg(destination, out.errorString()));

    QCryptographicHash hash(QCryptographicHash::Md5);
    quint64 total = 0;
    for (;;) {
        const qint64 n = in.read(inBuffer.data(), qint64(inBuffer.size()));
        if (n < 0)
            return fail(QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));
        if (n == 0)
            break;
        hash.addData(QByteArrayView(inBuffer.data(), n));
        if (out.write(inBuffer.data(), n) != n)
            return fail(QStringLiteral("cannot write %1: %2").arg(destination, out.errorString()));
        total += quint64(n);
    }
    if (!out.flush())
        return fail(QStringLiteral("cannot write %1: %2").arg(destination, out.errorString()));
    info.md5 = info.sourceMd5 = hex(hash);
    info.size = info.sourceSize = total;
    return true;
}

bool ReleaseFileWriter::gzip(const QString& source, const QString& destination, StoredFileInfo& info)
{
    if (!deflateReady) {
        // Window bits 15 + 16: a gzip wrapper with a bare header.
        if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            return fail(QStringLiteral("cannot set up compression"));
        deflateReady = true;
    } else if (deflateReset(&zs) != Z_OK) {
        return fail(QStringLiteral("cannot set up compression"));
    }

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return fail(QStringLiteral("cannot write %1: %2").arg(destination, out.errorString()));

    QCryptographicHash sourceHash(QCryptographicHash::Md5);
    QCryptographicHash storedHash(QCryptographicHash::Md5);
    quint64 sourceTotal = 0;
    quint64 storedTotal = 0;
    int flush = Z_NO_FLUSH;
    while (flush != Z_FINISH) {
        const qint64 n = in.read(inBuffer.data(), qint64(inBuffer.size()));
        if (n < 0)
            return fail(QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));
        sourceHash.addData(QByteArrayView(inBuffer.data(), n));
        sourceTotal += quint64(n);
        flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        zs.next_in = reinterpret_cast<Bytef*>(inBuffer.data());
        zs.avail_in = uInt(n);
        // Drain the compressor until it has taken all input (and, at the
        // end, written the trailer).
        do {
            zs.next_out = reinterpret_cast<Bytef*>(outBuffer.data());
            zs.avail_out = uInt(outBuffer.size());
            const int rc = deflate(&zs, flush);
            if (rc == Z_STREAM_ERROR)
                return fail(QStringLiteral("compression of %1 failed").arg(source));
            const qint64 have = qint64(outBuffer.size() - zs.avail_out);
            storedHash.addData(QByteArrayView(outBuffer.data(), have));
            if (out.write(outBuffer.data(), have) != have)
                return fail(QStringLiteral("cannot write %1: %2").arg(destination, out.errorString()));
            storedTotal += quint64(have);
        } while (zs.avail_out == 0);
    }
    if (!out.flush())
        return fail(QStringLiteral("cannot write %1: %2").arg(destination, out.errorString()));
    info.md5 = hex(storedHash);
    info.size = storedTotal;
    info.sourceMd5 = hex(sourceHash);
    info.sourceSize = sourceTotal;
    return true;
}
