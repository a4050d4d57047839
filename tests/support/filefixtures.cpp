#include "filefixtures.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace FileFixtures {

bool writeFile(const QString& path, const QByteArray& content, int mode)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (file.write(content) != content.size())
        return false;
    file.close();
    if (mode >= 0 && ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) != 0)
        return false;
    return file.error() == QFileDevice::NoError;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

int fileMode(const QString& path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

QByteArray sampleData(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray data;
    data.reserve(size);
    static const QByteArray text = QByteArrayLiteral("the quick brown fox jumps over the lazy dog\n");
    while (data.size() < size) {
        if (random.bounded(2) == 0) {
            data += text;
        } else {
            for (int i = 0; i < 64; ++i)
                data += char(random.bounded(256));
        }
    }
    data.truncate(size);
    return data;
}

QByteArray gzipped(const QByteArray& data)
{
    z_stream stream{};
    // 15 + 16: deflate with a gzip header and trailer.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const int rc = deflate(&stream, Z_FINISH);
    out.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return rc == Z_STREAM_END ? out : QByteArray();
}

QString md5Hex(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

bool makeFifo(const QString& path)
{
    return QDir().mkpath(QFileInfo(path).path()) && ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0;
}

bool feedFifo(const QString& path, const QByteArray& data, int timeoutMs)
{
    const QByteArray name = QFile::encodeName(path);
    const QDeadlineTimer deadline(timeoutMs);
    int fd = -1;
    // Opening for writing without blocking fails (ENXIO) until a reader has
    // the pipe open.
    while ((fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
        if (errno != ENXIO || deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    // Blocking writes from here on: the reader drains the pipe.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        written += n;
    }
    return ::close(fd) == 0;
}

void releaseFifo(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
    ::unlink(name.constData());
}

FileSizeLimit::FileSizeLimit(qint64 bytes)
{
    if (::getrlimit(RLIMIT_FSIZE, &saved) != 0)
        return;
    // The signal first: a write past the limit must fail, not end the test.
    savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = rlim_t(bytes);
    active = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
}

FileSizeLimit::~FileSizeLimit()
{
    if (active)
        ::setrlimit(RLIMIT_FSIZE, &saved);
    if (savedHandler != SIG_ERR)
        std::signal(SIGXFSZ, savedHandler);
}

} // namespace FileFixtures
