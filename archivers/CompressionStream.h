#pragma once

#include "archivers/ZipOutput.h"

#include <QtGlobal>
#include <array>
#include <functional>
#include <vector>
#include <zlib.h>

namespace norvex::archivers {

enum class TCompressionLevel { clNone, clFastest, clDefault, clMax };

// zlib's level for a compression level: 0, 1, -1 (zlib's default) and 9.
int zlibLevel(TCompressionLevel level);

// A deflate state that outlives one stream. Starting a stream on it again resets it
// (deflateReset gives the same output as a fresh deflateInit2, without allocating and
// clearing the state for every small file).
class ZlibDeflater
{
public:
    ZlibDeflater() = default;
    ZlibDeflater(const ZlibDeflater &) = delete;
    ZlibDeflater &operator=(const ZlibDeflater &) = delete;
    ~ZlibDeflater();

    // zlib format, window bits 15, memory level 8, default strategy.
    z_stream &begin(int level);
    // Drops the state, as after an error.
    void end();

private:
    z_stream m_stream{};
    bool m_initialised = false;
    int m_level = 0;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// The zlib state, output buffer and destination shared by the zlib streams.
class TCustomZlibStream
{
public:
    using Progress = std::function<void(qint64 consumed)>;

    TCustomZlibStream(ZipOutput &destination, ZlibDeflater *deflater);
    TCustomZlibStream(const TCustomZlibStream &) = delete;
    TCustomZlibStream &operator=(const TCustomZlibStream &) = delete;
    virtual ~TCustomZlibStream();

    Progress OnProgress;

protected:
    static constexpr int BufferSize = 65536;

    ZipOutput &m_destination;
    ZlibDeflater *m_deflater;
    ZlibDeflater m_ownDeflater;
    std::vector<char> m_buffer;
    qint64 m_destinationPos;
};

// Write-only deflate stream into a destination. zlib writes the zlib format; its 2-byte
// header and 4-byte Adler-32 trailer are cut so that the destination receives raw
// deflate data. Call finish() to end the stream (destruction alone drops it unfinished).
class TCompressionStream : public TCustomZlibStream
{
public:
    TCompressionStream(TCompressionLevel level, ZipOutput &destination,
                       ZlibDeflater *deflater = nullptr);
    ~TCompressionStream() override;

    qint64 Write(const void *data, qint64 length);
    [[noreturn]] qint64 Read(void *data, qint64 length);
    // Only asking for the current position (offset 0 from soCurrent) is allowed; it
    // returns the count of input bytes consumed.
    qint64 Seek(qint64 offset, TSeekOrigin origin);
    void finish();

    qint64 consumed() const { return m_consumed; }
    // Raw deflate bytes given to the destination.
    qint64 produced() const { return m_produced; }

private:
    void check(int result);
    void reposition();
    void emitOutput(const char *data, std::size_t length, bool finishing);

    z_stream *m_zlib;
    qint64 m_consumed = 0;
    qint64 m_produced = 0;
    int m_headerLeft = 2;
    std::array<char, 4> m_tail{};
    std::size_t m_tailLength = 0;
    bool m_finished = false;
};

} // namespace norvex::archivers
