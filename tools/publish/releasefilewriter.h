#pragma once

#include <QString>

#include <zlib.h>

#include <vector>

// What the release command learns about one file while storing it.
struct StoredFileInfo
{
    QString md5;        // of the file as stored on the mirror
    quint64 size = 0;   // of the file as stored on the mirror
    QString sourceMd5;  // of the release's file (equal to md5 for a copy)
    quint64 sourceSize = 0;
};

// Stores release files on the mirror, reading each file once: a plain copy
// or gzip compression, with the MD5 sums and sizes of what was read and
// what was written computed on the way. One writer per thread; it keeps its
// buffers and its compressor from file to file, so thousands of small files
// cost little more than their bytes.
class ReleaseFileWriter
{
public:
    ReleaseFileWriter();
    ~ReleaseFileWriter();
    ReleaseFileWriter(const ReleaseFileWriter&) = delete;
    ReleaseFileWriter& operator=(const ReleaseFileWriter&) = delete;

    // Copies source to destination (created anew). On failure returns false
    // and errorString() says why.
    bool copy(const QString& source, const QString& destination, StoredFileInfo& info);
    // Writes a gzip file of source to destination (created anew). The gzip
    // header carries no name and no time, so equal input gives equal output.
    bool gzip(const QString& source, const QString& destination, StoredFileInfo& info);

    QString errorString() const { return lastError; }

private:
    bool fail(const QString& text);

    std::vector<char> inBuffer;
    std::vector<char> outBuffer;
    z_stream zs{};
    bool deflateReady = false;
    QString lastError;
};
