#include "archivers/ZipOutput.h"

#include "archivers/FileErrors.h"

#include <QBuffer>
#include <QFileDevice>
#include <cstring>

namespace norvex::archivers {

ZipOutput::ZipOutput(QIODevice &device, qint64 bufferSize)
    : m_device(device), m_buffer(std::size_t(bufferSize)), m_bufferStart(device.pos())
{
    m_devicePos = m_bufferStart;
}

void ZipOutput::fail(const QString &what)
{
    QString reason = m_device.errorString();
    if (reason.isEmpty())
        reason = QStringLiteral("Unknown error");
    throw EOSError(what + QStringLiteral(": ") + reason);
}

void ZipOutput::seekDevice(qint64 position)
{
    if (m_devicePos == position)
        return;
    if (!m_device.seek(position))
        fail(QStringLiteral("Cannot seek in the archive"));
    m_devicePos = position;
}

void ZipOutput::writeDevice(const char *data, qint64 length)
{
    while (length > 0) {
        const qint64 n = m_device.write(data, length);
        if (n <= 0) {
            m_devicePos = -1;
            fail(QStringLiteral("Cannot write the archive"));
        }
        data += n;
        length -= n;
        m_devicePos += n;
    }
}

void ZipOutput::flush()
{
    if (m_used == 0)
        return;
    seekDevice(m_bufferStart);
    const std::size_t used = m_used;
    // Whatever happens, the buffer is spent: a failure leaves the archive unusable anyway.
    m_used = 0;
    m_bufferStart += qint64(used);
    writeDevice(m_buffer.data(), qint64(used));
}

void ZipOutput::put(const void *data, qint64 length)
{
    const char *p = static_cast<const char *>(data);
    m_bytesWritten += length;
    while (length > 0) {
        if (m_used == 0 && length >= qint64(m_buffer.size())) {
            // Large blocks go straight to the device.
            seekDevice(m_bufferStart);
            writeDevice(p, length);
            m_bufferStart += length;
            return;
        }
        const std::size_t n = std::min<std::size_t>(m_buffer.size() - m_used, std::size_t(length));
        std::memcpy(m_buffer.data() + m_used, p, n);
        m_used += n;
        p += n;
        length -= qint64(n);
        if (m_used == m_buffer.size())
            flush();
    }
}

void ZipOutput::patch(qint64 position, const void *data, qint64 length)
{
    const char *p = static_cast<const char *>(data);
    const qint64 end = position + length;
    Q_ASSERT(end <= pos());
    // The part that still sits in the buffer.
    if (end > m_bufferStart) {
        const qint64 from = std::max(position, m_bufferStart);
        std::memcpy(m_buffer.data() + (from - m_bufferStart), p + (from - position), end - from);
        length = std::max<qint64>(0, m_bufferStart - position);
    }
    if (length > 0) {
        seekDevice(position);
        writeDevice(p, length);
    }
}

void ZipOutput::seek(qint64 position)
{
    if (position == pos())
        return;
    flush();
    m_bufferStart = position;
}

void ZipOutput::truncate(qint64 size)
{
    flush();
    bool ok = false;
    if (auto *file = qobject_cast<QFileDevice *>(&m_device))
        ok = file->resize(size);
    else if (auto *buffer = qobject_cast<QBuffer *>(&m_device)) {
        buffer->buffer().resize(size);
        ok = true;
    }
    m_devicePos = -1;
    if (!ok)
        fail(QStringLiteral("Cannot set the size of the archive"));
}

qint64 ZipOutput::readAt(qint64 position, void *data, qint64 length)
{
    flush();
    seekDevice(position);
    qint64 done = 0;
    while (done < length) {
        const qint64 n = m_device.read(static_cast<char *>(data) + done, length - done);
        if (n < 0) {
            m_devicePos = -1;
            fail(QStringLiteral("Cannot read the archive"));
        }
        if (n == 0)
            break;
        done += n;
    }
    m_devicePos = position + done;
    return done;
}

} // namespace norvex::archivers
