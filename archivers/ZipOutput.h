#pragma once

#include <QIODevice>
#include <QtGlobal>
#include <vector>

namespace norvex::archivers {

// The sink every archive byte goes through. put() buffers, checks every device write and
// counts what was written; a failed write raises EOSError with the device's error text.
// The device is any seekable QIODevice (a QFile for archives, a QBuffer in tests).
class ZipOutput
{
public:
    explicit ZipOutput(QIODevice &device, qint64 bufferSize = 1 << 20);
    ZipOutput(const ZipOutput &) = delete;
    ZipOutput &operator=(const ZipOutput &) = delete;

    void put(const void *data, qint64 length);
    // Overwrites bytes written earlier without moving the position; bytes still in the
    // buffer are changed there.
    void patch(qint64 position, const void *data, qint64 length);
    void seek(qint64 position);
    qint64 pos() const { return m_bufferStart + qint64(m_used); }
    void flush();
    // Flushes, then cuts or extends the device to size; the position is not moved.
    void truncate(qint64 size);
    // Reads device bytes at position (flushes first); returns the count read.
    qint64 readAt(qint64 position, void *data, qint64 length);

    qint64 bytesWritten() const { return m_bytesWritten; }
    QIODevice &device() { return m_device; }

private:
    void writeDevice(const char *data, qint64 length);
    void seekDevice(qint64 position);
    [[noreturn]] void fail(const QString &what);

    QIODevice &m_device;
    std::vector<char> m_buffer;
    std::size_t m_used = 0;
    qint64 m_bufferStart = 0; // device position of m_buffer[0]
    qint64 m_devicePos = -1;  // where the device is known to be, -1 when unknown
    qint64 m_bytesWritten = 0;
};

} // namespace norvex::archivers
