#pragma once

#include <QBuffer>

// A seekable in-memory device that behaves like a full disk once it holds a given number
// of bytes: every write that would go beyond fails, as write() does with ENOSPC.
class FullDiskDevice : public QBuffer
{
public:
    explicit FullDiskDevice(qint64 capacity) : m_capacity(capacity) {}

protected:
    qint64 writeData(const char *data, qint64 length) override
    {
        if (pos() + length > m_capacity) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        return QBuffer::writeData(data, length);
    }

private:
    qint64 m_capacity;
};
