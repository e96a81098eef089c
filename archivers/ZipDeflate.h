#pragma once

// The compression half of the ZIP writer: where an entry's bytes come from, the one
// read -> CRC -> deflate loop for data deflated whole, and the deflate of one chunk of a
// large file.
#include "archivers/CompressionStream.h"
#include "archivers/ZipFileSystem.h"
#include "archivers/ZipOutput.h"

#include <QByteArray>
#include <functional>
#include <vector>
#include <zlib.h>

struct libdeflate_compressor;

namespace norvex::archivers {

// An entry's data: bytes (a link's target) or an open file.
class ZipEntrySource
{
public:
    virtual ~ZipEntrySource() = default;
    // Up to length bytes, 0 at the end; raises EOSError when the source cannot be read.
    virtual qint64 read(char *data, qint64 length) = 0;
    virtual bool rewind() = 0;
    virtual qint64 expectedSize() const = 0;
    // Reads until length bytes are in or the source ends.
    qint64 readFull(char *data, qint64 length);
};

class ZipBytesSource : public ZipEntrySource
{
public:
    explicit ZipBytesSource(const QByteArray &bytes) : m_bytes(bytes) {}
    qint64 read(char *data, qint64 length) override;
    bool rewind() override;
    qint64 expectedSize() const override { return m_bytes.size(); }

private:
    const QByteArray &m_bytes;
    qint64 m_at = 0;
};

class ZipFileSource : public ZipEntrySource
{
public:
    ZipFileSource(ZipSourceFile &file, const QByteArray &path, qint64 size)
        : m_file(file), m_path(path), m_size(size)
    {
    }
    qint64 read(char *data, qint64 length) override;
    bool rewind() override { return m_file.rewind(); }
    qint64 expectedSize() const override { return m_size; }

private:
    ZipSourceFile &m_file;
    const QByteArray &m_path;
    qint64 m_size;
};

// Opens a source file for reading now and describes what was opened. False when it is
// gone or no longer a regular file (nothing is added for it); raises EFOpenError when it
// is there but cannot be opened.
bool openSource(ZipSourceFile &file, const QByteArray &path, bool follow, ZipFileInfo &info);

// What one thread keeps from entry to entry: deflate states and a read buffer.
class ZipDeflateTools
{
public:
    ZipDeflateTools() = default;
    ZipDeflateTools(const ZipDeflateTools &) = delete;
    ZipDeflateTools &operator=(const ZipDeflateTools &) = delete;
    ~ZipDeflateTools();

    ZlibDeflater whole;
    std::vector<char> input;
    // Raw deflate (no zlib wrapper) for chunks, reset for each.
    z_stream &raw(int level);
    // libdeflate at level 9, for data held whole in memory.
    libdeflate_compressor *whole9();
    // libdeflate at ChunkLevel, for the chunks of large files at the maximum level.
    libdeflate_compressor *chunks();
    // Raw inflate, reset for each use: finds the block boundaries of a chunk.
    z_stream &inflater();
    std::vector<unsigned char> sink;

private:
    libdeflate_compressor *m_whole9 = nullptr;
    libdeflate_compressor *m_chunks = nullptr;
    z_stream m_inflate{};
    bool m_inflateReady = false;
    z_stream m_raw{};
    bool m_rawReady = false;
    int m_rawLevel = 0;
};

struct ZipDeflateResult
{
    quint32 crc32 = 0;
    qint64 consumed = 0;
    qint64 produced = 0;
    bool tooLarge = false;
};

// Reads the source to its end, deflating it whole into out as raw deflate data. With a
// limit, stops (tooLarge, output unfinished) once more input than that was read.
ZipDeflateResult deflateWhole(ZipEntrySource &source, ZipOutput &out, TCompressionLevel level,
                              ZipDeflateTools &tools, qint64 limit = 0,
                              const std::function<void(qint64)> &progress = {});

// Deflates a small file whole at the maximum level: read into memory and compressed by
// libdeflate at level 9, which gives a smaller archive than zlib at level 9 in less time
// (see docs/performance.md). The file is read to its end, at most limit bytes (more:
// tooLarge).
ZipDeflateResult deflateHeldWhole(ZipEntrySource &source, QByteArray &out, ZipDeflateTools &tools,
                                  qint64 limit);

// One chunk of a large file. Every chunk but the last ends with a sync flush's empty stored
// block and the last with the final block, so that the chunks in order form one deflate
// stream. At the maximum level a chunk is compressed on its own by libdeflate at
// ChunkLevel: smaller than zlib 9 primed with the 32 KiB before it, in a third of its CPU
// time (measured in docs/performance.md). Other levels use zlib primed with the
// dictionary, so that little is lost at the joins. The bytes depend on the chunk's input,
// dictionary and level only, never on the thread.
struct ZipChunk
{
    std::vector<char> input;
    qint64 length = 0;
    std::vector<char> dictionary;
    bool last = false;
    TCompressionLevel level = TCompressionLevel::clDefault;

    std::vector<char> output;
    qint64 outputLength = 0;
    quint32 crc32 = 0;
};
void deflateChunk(ZipChunk &chunk, ZipDeflateTools &tools);

// The size of the dictionary that primes a chunk: deflate's window.
constexpr qint64 DeflateWindow = 32768;
// libdeflate's level for chunks at the maximum level.
constexpr int ChunkLevel = 7;

// Makes a complete raw deflate stream of `length` bytes in out continuable: clears the
// final flag of its last block and appends an empty stored block, which ends it on a byte
// boundary as a sync flush does. Raises ECompressionError when out is not one whole
// stream.
void continueStream(std::vector<char> &out, qint64 &length, ZipDeflateTools &tools);

} // namespace norvex::archivers
