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

void deflateChunk(ZipChunk &chunk, ZipDeflateTools &tools)
{
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
    chunk.crc32 = ZipCrc32::of(chunk.input.data(), std::size_t(chunk.length));
}

} // namespace norvex::archivers
