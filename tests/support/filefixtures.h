#pragma once

#include <QByteArray>
#include <QString>

#include <csignal>

#include <sys/resource.h>

// Small helpers for tests that work on real files. The bool results are
// meant for QVERIFY.
namespace FileFixtures {

// Writes a file, creating its missing parent directories; mode (e.g. 0644)
// is applied when not negative.
bool writeFile(const QString& path, const QByteArray& content, int mode = -1);
// The whole content of a (small) file; empty when it cannot be read.
QByteArray readFile(const QString& path);
// Permission bits (07777) of a file or directory, symbolic links not
// followed; -1 when it does not exist.
int fileMode(const QString& path);

// Deterministic test data of the given size: runs of text mixed with
// pseudo-random bytes, so that it neither compresses to nothing nor is all
// noise.
QByteArray sampleData(qsizetype size, quint32 seed = 1);
// The data in gzip format (one member, default compression).
QByteArray gzipped(const QByteArray& data);
// MD5 in lower-case hex.
QString md5Hex(const QByteArray& data);

// Makes a named pipe. Whoever opens it for reading waits until a writer
// comes, which lets a test hold work that reads it at a known point.
bool makeFifo(const QString& path);
// Waits (at most timeoutMs, running the event loop) until someone has the
// pipe open for reading, then writes data and closes it: the reader sees
// the data and then the end of the file.
bool feedFifo(const QString& path, const QByteArray& data, int timeoutMs = 10000);
// Lets go a reader that may wait on the pipe (it sees an empty file), and
// removes the pipe so that no later reader waits on it. For clean-ups.
void releaseFifo(const QString& path);

// While it lives, files of this process cannot grow beyond the given size:
// writes past it fail with EFBIG (SIGXFSZ is ignored meanwhile). A write
// error that root cannot override, for tests of full disks.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(qint64 bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool isActive() const { return active; }

private:
    struct rlimit saved;
    void (*savedHandler)(int) = SIG_ERR;
    bool active = false;
};

} // namespace FileFixtures
