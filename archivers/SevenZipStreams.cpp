#include "archivers/SevenZipStreams.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace norvex::archivers::sevenzip {

namespace {

template <class Object>
HRESULT queryStream(Object *self, const GUID &iid, void **out)
{
    if (iid == IID_IUnknown || iid == IID_ISequentialInStream || iid == IID_IInStream)
        *out = static_cast<IInStream *>(self);
    else if (iid == IID_IStreamGetSize)
        *out = static_cast<IStreamGetSize *>(self);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    self->AddRef();
    return S_OK;
}

HRESULT seekFd(int fd, Int64 offset, UInt32 origin, UInt64 *newPosition)
{
    if (origin > 2)
        return E_INVALIDARG;
    const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    const off_t at = ::lseek(fd, off_t(offset), whence[origin]);
    if (at < 0)
        return hresultFromErrno(errno);
    if (newPosition)
        *newPosition = UInt64(at);
    return S_OK;
}

} // namespace

FileInStream::~FileInStream()
{
    ::close(m_fd);
}

HRESULT FileInStream::QueryInterface(const GUID &iid, void **out)
{
    return queryStream(this, iid, out);
}

HRESULT FileInStream::Read(void *data, UInt32 size, UInt32 *processed)
{
    if (processed)
        *processed = 0;
    ssize_t n;
    do
        n = ::read(m_fd, data, size);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return hresultFromErrno(errno);
    if (processed)
        *processed = UInt32(n);
    return S_OK;
}

HRESULT FileInStream::Seek(Int64 offset, UInt32 origin, UInt64 *newPosition)
{
    return seekFd(m_fd, offset, origin, newPosition);
}

HRESULT FileInStream::GetSize(UInt64 *size)
{
    *size = m_size;
    return S_OK;
}

HRESULT MemoryInStream::QueryInterface(const GUID &iid, void **out)
{
    return queryStream(this, iid, out);
}

HRESULT MemoryInStream::Read(void *data, UInt32 size, UInt32 *processed)
{
    UInt64 n = 0;
    if (m_position < m_data.size()) {
        n = std::min<UInt64>(size, m_data.size() - m_position);
        std::memcpy(data, m_data.data() + m_position, n);
        m_position += n;
    }
    if (processed)
        *processed = UInt32(n);
    return S_OK;
}

HRESULT MemoryInStream::Seek(Int64 offset, UInt32 origin, UInt64 *newPosition)
{
    Int64 base = 0;
    if (origin == 1)
        base = Int64(m_position);
    else if (origin == 2)
        base = Int64(m_data.size());
    else if (origin != 0)
        return E_INVALIDARG;
    if (base + offset < 0)
        return hresultFromErrno(EINVAL);
    m_position = UInt64(base + offset);
    if (newPosition)
        *newPosition = m_position;
    return S_OK;
}

HRESULT MemoryInStream::GetSize(UInt64 *size)
{
    *size = m_data.size();
    return S_OK;
}

HRESULT FileOutStream::QueryInterface(const GUID &iid, void **out)
{
    // IOutStream is required: without it the engine gives E_NOTIMPL and writes nothing.
    if (iid == IID_IUnknown || iid == IID_ISequentialOutStream || iid == IID_IOutStream) {
        *out = static_cast<IOutStream *>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT FileOutStream::Write(const void *data, UInt32 size, UInt32 *processed)
{
    const char *p = static_cast<const char *>(data);
    UInt32 done = 0;
    HRESULT hr = S_OK;
    while (done < size) {
        const ssize_t n = ::write(m_fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            hr = hresultFromErrno(errno);
            break;
        }
        if (n == 0) {
            hr = hresultFromErrno(ENOSPC);
            break;
        }
        done += UInt32(n);
    }
    if (processed)
        *processed = done;
    return hr;
}

HRESULT FileOutStream::Seek(Int64 offset, UInt32 origin, UInt64 *newPosition)
{
    return seekFd(m_fd, offset, origin, newPosition);
}

HRESULT FileOutStream::SetSize(UInt64 newSize)
{
    if (::ftruncate(m_fd, off_t(newSize)) != 0)
        return hresultFromErrno(errno);
    return S_OK;
}

} // namespace norvex::archivers::sevenzip
