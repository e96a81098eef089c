#pragma once

#include "archivers/SevenZipEngine.h"

#include <string>

namespace norvex::archivers::sevenzip {

// A source file handed to the engine. Owns the descriptor; size is its size when opened.
class FileInStream final : public ComObject<IInStream, IStreamGetSize>
{
public:
    FileInStream(int fd, UInt64 size) : m_fd(fd), m_size(size) {}

    HRESULT QueryInterface(const GUID &iid, void **out) override;
    HRESULT Read(void *data, UInt32 size, UInt32 *processed) override;
    HRESULT Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) override;
    HRESULT GetSize(UInt64 *size) override;

private:
    ~FileInStream();
    void destroy() override { delete this; }

    const int m_fd;
    const UInt64 m_size;
};

// Bytes held in memory: the target of a symbolic link, which is stored as the link's data.
class MemoryInStream final : public ComObject<IInStream, IStreamGetSize>
{
public:
    explicit MemoryInStream(std::string data) : m_data(std::move(data)) {}

    HRESULT QueryInterface(const GUID &iid, void **out) override;
    HRESULT Read(void *data, UInt32 size, UInt32 *processed) override;
    HRESULT Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) override;
    HRESULT GetSize(UInt64 *size) override;

private:
    ~MemoryInStream() = default;
    void destroy() override { delete this; }

    std::string m_data;
    UInt64 m_position = 0;
};

// The archive file. The descriptor stays the caller's: it closes it after UpdateItems so
// that a failing close (a full disk, NFS) is seen, whenever the engine drops the stream.
class FileOutStream final : public ComObject<IOutStream>
{
public:
    explicit FileOutStream(int fd) : m_fd(fd) {}

    HRESULT QueryInterface(const GUID &iid, void **out) override;
    HRESULT Write(const void *data, UInt32 size, UInt32 *processed) override;
    HRESULT Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) override;
    HRESULT SetSize(UInt64 newSize) override;

private:
    ~FileOutStream() = default;
    void destroy() override { delete this; }

    const int m_fd;
};

} // namespace norvex::archivers::sevenzip
