#include "archivers/ZipDeflate.h"

#include "archivers/FileErrors.h"
#include "archivers/ZipCrc32.h"

#include "platform/Paths.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <libdeflate.h>

namespace norvex::archivers {

namespace {
constexpr qint64 InputBlock = 1 << 20;
const QString zlibFailure = QStringLiteral("error");
} // namespace

qint64 ZipEntrySource::readFull(char *data, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        const qint64 n = read(data + done, length - done);
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

qint64 ZipBytesSource::read(char *data, qint64 length)
{
    const qint64 n = std::min<qint64>(length, m_bytes.size() - m_at);
    std::memcpy(data, m_bytes.constData() + m_at, std::size_t(n));
    m_at += n;
    return n;
}

bool ZipBytesSource::rewind()
{
    m_at = 0;
    return true;
}

qint64 ZipFileSource::read(char *data, qint64 length)
{
    const qint64 n = m_file.read(data, length);
    if (n < 0)
        throw EOSError(QStringLiteral("Cannot read ") + QFile::decodeName(m_path) +
                       QStringLiteral(": ") + norvex::platform::systemErrorText(errno));
    return n;
}

bool openSource(ZipSourceFile &file, const QByteArray &path, bool follow, ZipFileInfo &info)
{
    if (!file.open(path, follow)) {
        const int error = errno;
        // Gone since the walk, or replaced by a link inside a tree.
        if (error == ENOENT || error == ENOTDIR || error == ELOOP)
            return false;
        throw EFOpenError(QFile::decodeName(path));
    }
    if (!file.info(info))
        throw EFOpenError(QFile::decodeName(path));
    // A FIFO or device put in its place is never read.
    return info.isRegular();
}

ZipDeflateTools::~ZipDeflateTools()
{
    if (m_rawReady)
        deflateEnd(&m_raw);
    if (m_whole9)
        libdeflate_free_compressor(m_whole9);
    if (m_chunks)
        libdeflate_free_compressor(m_chunks);
    if (m_inflateReady)
        inflateEnd(&m_inflate);
}

libdeflate_compressor *ZipDeflateTools::chunks()
{
    if (!m_chunks)
        m_chunks = libdeflate_alloc_compressor(ChunkLevel);
    if (!m_chunks)
        throw ECompressionError(zlibFailure);
    return m_chunks;
}

z_stream &ZipDeflateTools::inflater()
{
    if (m_inflateReady && inflateReset(&m_inflate) == Z_OK)
        return m_inflate;
    if (m_inflateReady)
        inflateEnd(&m_inflate);
    m_inflateReady = false;
    m_inflate = z_stream{};
    if (inflateInit2(&m_inflate, -15) != Z_OK)
        throw ECompressionError(zlibFailure);
    m_inflateReady = true;
    return m_inflate;
}

libdeflate_compressor *ZipDeflateTools::whole9()
{
    if (!m_whole9)
        m_whole9 = libdeflate_alloc_compressor(9);
    if (!m_whole9)
        throw ECompressionError(zlibFailure);
    return m_whole9;
}

z_stream &ZipDeflateTools::raw(int level)
{
    if (m_rawReady && m_rawLevel == level && deflateReset(&m_raw) == Z_OK)
        return m_raw;
    if (m_rawReady)
        deflateEnd(&m_raw);
    m_rawReady = false;
    m_raw = z_stream{};
    if (deflateInit2(&m_raw, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw ECompressionError(zlibFailure);
    m_rawReady = true;
    m_rawLevel = level;
    return m_raw;
}

ZipDeflateResult deflateWhole(ZipEntrySource &source, ZipOutput &out, TCompressionLevel level,
                              ZipDeflateTools &tools, qint64 limit,
                              const std::function<void(qint64)> &progress)
{
    if (tools.input.size() < std::size_t(InputBlock))
        tools.input.resize(std::size_t(InputBlock));
    char *buffer = tools.input.data();
    ZipDeflateResult result;
    ZipCrc32 crc;
    TCompressionStream stream(level, out, &tools.whole);
    if (progress)
        stream.OnProgress = progress;
    for (;;) {
        const qint64 n = source.read(buffer, InputBlock);
        if (n == 0)
            break;
        crc.update(buffer, std::size_t(n));
        stream.Write(buffer, n);
        if (limit > 0 && stream.consumed() > limit) {
            result.tooLarge = true;
            return result;
        }
    }
    stream.finish();
    result.crc32 = crc.value();
    result.consumed = stream.consumed();
    result.produced = stream.produced();
    return result;
}

ZipDeflateResult deflateHeldWhole(ZipEntrySource &source, QByteArray &out, ZipDeflateTools &tools,
                                  qint64 limit)
{
    ZipDeflateResult result;
    // Room for the size found by the walk and one byte more, which shows a file that grew:
    // then up to one byte more than the limit.
    qint64 room = std::min(limit, source.expectedSize()) + 1;
    if (tools.input.size() < std::size_t(room))
        tools.input.resize(std::size_t(room));
    qint64 n = source.readFull(tools.input.data(), room);
    if (n == room && room <= limit) {
        room = limit + 1;
        if (tools.input.size() < std::size_t(room))
            tools.input.resize(std::size_t(room));
        n += source.readFull(tools.input.data() + n, room - n);
    }
    if (n > limit) {
        result.tooLarge = true;
        return result;
    }
    libdeflate_compressor *compressor = tools.whole9();
    out.resize(qsizetype(libdeflate_deflate_compress_bound(compressor, std::size_t(n))));
    const std::size_t produced = libdeflate_deflate_compress(
        compressor, tools.input.data(), std::size_t(n), out.data(), std::size_t(out.size()));
    if (produced == 0)
        throw ECompressionError(zlibFailure);
    out.resize(qsizetype(produced));
    result.crc32 = ZipCrc32::of(tools.input.data(), std::size_t(n));
    result.consumed = n;
    result.produced = qint64(produced);
    return result;
}

void continueStream(std::vector<char> &out, qint64 &length, ZipDeflateTools &tools)
{
    // Inflated block by block (Z_BLOCK), as zlib's gzjoin does: after each block, the next
    // header's first bit (its final flag) is the first unused bit of the input.
    z_stream &z = tools.inflater();
    if (tools.sink.size() < 65536)
        tools.sink.resize(65536);
    auto *in = reinterpret_cast<Bytef *>(out.data());
    z.next_in = in;
    z.avail_in = uInt(length);
    std::size_t header = 0; // byte and bit of the last block's final flag
    unsigned flag = 1;
    int unused = -1; // bits left in the last byte after the last block
    int r = Z_OK;
    while (r != Z_STREAM_END) {
        z.next_out = tools.sink.data();
        z.avail_out = uInt(tools.sink.size());
        r = inflate(&z, Z_BLOCK);
        if (r != Z_OK && r != Z_STREAM_END)
            throw ECompressionError(zlibFailure);
        // 128: at a block's end; 64: the block was the last.
        if (r != Z_OK || (z.data_type & 128) == 0)
            continue;
        const int bits = z.data_type & 7;
        if ((z.data_type & 64) != 0) {
            unused = bits;
            continue;
        }
        header = std::size_t(z.next_in - in) - (bits > 0 ? 1 : 0);
        flag = bits > 0 ? 1u << (8 - bits) : 1u;
    }
    if (z.avail_in != 0 || unused < 0 || header >= std::size_t(length) ||
        (static_cast<unsigned char>(out[header]) & flag) == 0)
        throw ECompressionError(zlibFailure);
    out[header] = char(static_cast<unsigned char>(out[header]) & ~flag);
    // An empty stored block: three zero bits, zeros to the byte boundary, then LEN 0 and
    // NLEN 0xFFFF. The bits after the stream's end are made zero; a new byte is needed
    // when fewer than three are left.
    out[std::size_t(length) - 1] =
        char(static_cast<unsigned char>(out[std::size_t(length) - 1]) & (0xFFu >> unused));
    const std::size_t extra = unused >= 3 ? 4 : 5;
    if (out.size() < std::size_t(length) + extra)
        out.resize(std::size_t(length) + extra);
    char *tail = out.data() + length;
    if (extra == 5)
        *tail++ = 0;
    std::memcpy(tail, "\x00\x00\xFF\xFF", 4);
    length += qint64(extra);
}

void deflateChunk(ZipChunk &chunk, ZipDeflateTools &tools)
{
    chunk.crc32 = ZipCrc32::of(chunk.input.data(), std::size_t(chunk.length));
    if (chunk.level == TCompressionLevel::clMax) {
        libdeflate_compressor *compressor = tools.chunks();
        const std::size_t bound =
            libdeflate_deflate_compress_bound(compressor, std::size_t(chunk.length)) + 8;
        if (chunk.output.size() < bound)
            chunk.output.resize(bound);
        const std::size_t produced =
            libdeflate_deflate_compress(compressor, chunk.input.data(), std::size_t(chunk.length),
                                        chunk.output.data(), chunk.output.size());
        if (produced == 0)
            throw ECompressionError(zlibFailure);
        chunk.outputLength = qint64(produced);
        if (!chunk.last)
            continueStream(chunk.output, chunk.outputLength, tools);
        return;
    }
    z_stream &z = tools.raw(zlibLevel(chunk.level));
    if (!chunk.dictionary.empty() &&
        deflateSetDictionary(&z, reinterpret_cast<const Bytef *>(chunk.dictionary.data()),
                             uInt(chunk.dictionary.size())) != Z_OK)
        throw ECompressionError(zlibFailure);
    const std::size_t bound = deflateBound(&z, uLong(chunk.length)) + 64;
    if (chunk.output.size() < bound)
        chunk.output.resize(bound);
    z.next_in = reinterpret_cast<Bytef *>(chunk.input.data());
    z.avail_in = uInt(chunk.length);
    z.next_out = reinterpret_cast<Bytef *>(chunk.output.data());
    z.avail_out = uInt(chunk.output.size());
    const int flush = chunk.last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
        const int r = deflate(&z, flush);
        if (r == Z_STREAM_ERROR)
            throw ECompressionError(zlibFailure);
        const bool done = chunk.last ? r == Z_STREAM_END : z.avail_in == 0 && z.avail_out > 0;
        if (done)
            break;
        if (z.avail_out == 0) {
            const std::size_t used = chunk.output.size();
            chunk.output.resize(used + 65536);
            z.next_out = reinterpret_cast<Bytef *>(chunk.output.data() + used);
            z.avail_out = 65536;
        }
    }
    chunk.outputLength = qint64(z.total_out);
}

} // namespace norvex::archivers
