#include "archivers/CompressionStream.h"

#include "archivers/FileErrors.h"

#include <cstring>
#include <limits>

namespace norvex::archivers {

int zlibLevel(TCompressionLevel level)
{
    switch (level) {
    case TCompressionLevel::clNone:
        return 0;
    case TCompressionLevel::clFastest:
        return 1;
    case TCompressionLevel::clDefault:
        return Z_DEFAULT_COMPRESSION;
    case TCompressionLevel::clMax:
        return 9;
    }
    return Z_DEFAULT_COMPRESSION;
}

static const QString zlibFailure = QStringLiteral("error");

ZlibDeflater::~ZlibDeflater()
{
    end();
}

z_stream &ZlibDeflater::begin(int level)
{
    if (m_initialised && m_level == level) {
        if (deflateReset(&m_stream) == Z_OK)
            return m_stream;
        end();
    }
    end();
    m_stream = z_stream{};
    if (deflateInit2(&m_stream, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw ECompressionError(zlibFailure);
    m_initialised = true;
    m_level = level;
    return m_stream;
}

void ZlibDeflater::end()
{
    if (m_initialised)
        deflateEnd(&m_stream);
    m_initialised = false;
}

TCustomZlibStream::TCustomZlibStream(ZipOutput &destination, ZlibDeflater *deflater)
    : m_destination(destination), m_deflater(deflater ? deflater : &m_ownDeflater),
      m_buffer(BufferSize), m_destinationPos(destination.pos())
{
}

TCustomZlibStream::~TCustomZlibStream() = default;

TCompressionStream::TCompressionStream(TCompressionLevel level, ZipOutput &destination,
                                       ZlibDeflater *deflater)
    : TCustomZlibStream(destination, deflater), m_zlib(&m_deflater->begin(zlibLevel(level)))
{
    m_zlib->next_out = reinterpret_cast<Bytef *>(m_buffer.data());
    m_zlib->avail_out = BufferSize;
}

TCompressionStream::~TCompressionStream()
{
    // An unfinished stream (after an error) leaves a state that cannot be reset for the
    // next entry with certainty: drop it.
    if (!m_finished)
        m_deflater->end();
}

void TCompressionStream::check(int result)
{
    if (result < 0) {
        m_deflater->end();
        m_finished = true;
        throw ECompressionError(zlibFailure);
    }
}

void TCompressionStream::reposition()
{
    if (m_destination.pos() != m_destinationPos)
        m_destination.seek(m_destinationPos);
}

void TCompressionStream::emitOutput(const char *data, std::size_t length, bool finishing)
{
    const std::size_t header = std::min<std::size_t>(std::size_t(m_headerLeft), length);
    data += header;
    length -= header;
    m_headerLeft -= int(header);
    if (!finishing) {
        m_destination.put(data, qint64(length));
        m_produced += qint64(length);
        m_destinationPos = m_destination.pos();
        return;
    }
    // While finishing, the last four bytes seen may be the Adler-32 trailer: hold them
    // back until more output shows they are not.
    if (m_tailLength + length <= m_tail.size()) {
        std::memcpy(m_tail.data() + m_tailLength, data, length);
        m_tailLength += length;
        return;
    }
    const std::size_t total = m_tailLength + length;
    std::size_t fromTail = std::min(m_tailLength, total - m_tail.size());
    m_destination.put(m_tail.data(), qint64(fromTail));
    std::memmove(m_tail.data(), m_tail.data() + fromTail, m_tailLength - fromTail);
    m_tailLength -= fromTail;
    const std::size_t fromData = length - (m_tail.size() - m_tailLength);
    m_destination.put(data, qint64(fromData));
    std::memcpy(m_tail.data() + m_tailLength, data + fromData, length - fromData);
    m_tailLength = m_tail.size();
    m_produced += qint64(fromTail + fromData);
    m_destinationPos = m_destination.pos();
}

qint64 TCompressionStream::Write(const void *data, qint64 length)
{
    if (m_finished)
        throw ECompressionError(zlibFailure);
    reposition();
    const auto *p = static_cast<const Bytef *>(data);
    qint64 left = length;
    while (left > 0) {
        const uInt chunk = uInt(std::min<qint64>(left, std::numeric_limits<uInt>::max()));
        m_zlib->next_in = const_cast<Bytef *>(p);
        m_zlib->avail_in = chunk;
        while (m_zlib->avail_in > 0) {
            check(deflate(m_zlib, Z_NO_FLUSH));
            if (m_zlib->avail_out == 0) {
                emitOutput(m_buffer.data(), BufferSize, false);
                m_zlib->next_out = reinterpret_cast<Bytef *>(m_buffer.data());
                m_zlib->avail_out = BufferSize;
                if (OnProgress)
                    OnProgress(m_consumed + qint64(chunk - m_zlib->avail_in));
            }
        }
        p += chunk;
        left -= chunk;
        m_consumed += chunk;
    }
    return length;
}

qint64 TCompressionStream::Read(void *, qint64)
{
    throw ECompressionError(QStringLiteral("不正なストリームオペレーション"));
}

qint64 TCompressionStream::Seek(qint64 offset, TSeekOrigin origin)
{
    if (offset == 0 && origin == TSeekOrigin::soCurrent)
        return m_consumed;
    throw ECompressionError(QStringLiteral("不正なストリームオペレーション"));
}

void TCompressionStream::finish()
{
    if (m_finished)
        return;
    reposition();
    m_zlib->next_in = nullptr;
    m_zlib->avail_in = 0;
    for (;;) {
        const int result = deflate(m_zlib, Z_FINISH);
        check(result);
        const std::size_t produced = BufferSize - m_zlib->avail_out;
        if (result == Z_STREAM_END) {
            emitOutput(m_buffer.data(), produced, true);
            break;
        }
        if (m_zlib->avail_out == 0) {
            emitOutput(m_buffer.data(), BufferSize, true);
            m_zlib->next_out = reinterpret_cast<Bytef *>(m_buffer.data());
            m_zlib->avail_out = BufferSize;
            if (OnProgress)
                OnProgress(m_consumed);
        }
    }
    m_finished = true;
    // What is held back now is exactly the trailer.
    m_tailLength = 0;
}

} // namespace norvex::archivers
