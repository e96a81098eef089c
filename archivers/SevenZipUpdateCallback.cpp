#include "archivers/SevenZipUpdateCallback.h"

#include "archivers/SevenZipStreams.h"
#include "archivers/Utf8Names.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::archivers::sevenzip {

UpdateCallback::UpdateCallback(std::shared_ptr<const std::vector<ArchiveItem>> items,
                               QString password, ProgressHandler onProgress)
    : m_items(std::move(items)), m_password(std::move(password)),
      m_onProgress(std::move(onProgress))
{
}

HRESULT UpdateCallback::QueryInterface(const GUID &iid, void **out)
{
    if (iid == IID_IUnknown || iid == IID_IProgress || iid == IID_IArchiveUpdateCallback)
        *out = static_cast<IArchiveUpdateCallback *>(this);
    else if (iid == IID_IArchiveUpdateCallbackFile)
        *out = static_cast<IArchiveUpdateCallbackFile *>(this);
    else if (iid == IID_ICryptoGetTextPassword2)
        *out = static_cast<ICryptoGetTextPassword2 *>(this);
    else {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

HRESULT UpdateCallback::report(UInt64 completed)
{
    std::lock_guard lock(m_mutex);
    if (m_canceled)
        return E_ABORT;
    if (!m_onProgress)
        return S_OK;
    try {
        if (m_onProgress(completed, m_total))
            return S_OK;
    } catch (...) {
    }
    m_canceled = true;
    return E_ABORT;
}

HRESULT UpdateCallback::SetTotal(UInt64 total)
{
    {
        std::lock_guard lock(m_mutex);
        m_total = total;
    }
    return report(0);
}

HRESULT UpdateCallback::SetCompleted(const UInt64 *completed)
{
    return completed ? report(*completed) : S_OK;
}

HRESULT UpdateCallback::GetUpdateItemInfo(UInt32 index, Int32 *newData, Int32 *newProps,
                                          UInt32 *indexInArchive)
{
    if (index >= m_items->size())
        return E_INVALIDARG;
    // Every item is new: there is no old archive to take anything from.
    if (newData)
        *newData = 1;
    if (newProps)
        *newProps = 1;
    if (indexInArchive)
        *indexInArchive = 0xFFFFFFFFu;
    return S_OK;
}

HRESULT UpdateCallback::GetProperty(UInt32 index, PROPID propId, PROPVARIANT *value)
{
    if (index >= m_items->size() || !value)
        return E_INVALIDARG;
    const ArchiveItem &item = (*m_items)[index];
    value->vt = VT_EMPTY;
    try {
        switch (propId) {
        case kpidPath:
            value->bstrVal = allocBstr(sevenZipName(item.storedPath()));
            value->vt = VT_BSTR;
            break;
        case kpidIsDir:
            value->boolVal = item.isDir ? VARIANT_TRUE : VARIANT_FALSE;
            value->vt = VT_BOOL;
            break;
        case kpidSize:
            value->uhVal = item.size; // VT_UI4 would be refused with E_INVALIDARG
            value->vt = VT_UI8;
            break;
        case kpidAttrib:
            value->ulVal = item.attrib;
            value->vt = VT_UI4;
            break;
        case kpidCTime:
        case kpidATime:
            value->filetime = {0, 0};
            value->vt = VT_FILETIME;
            break;
        case kpidMTime:
            value->filetime = item.mtime;
            value->vt = VT_FILETIME;
            break;
        case kpidIsAnti:
            value->boolVal = VARIANT_FALSE;
            value->vt = VT_BOOL;
            break;
        default:
            // Unknown properties stay empty; S_FALSE here would end UpdateItems.
            break;
        }
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT UpdateCallback::GetStream(UInt32 index, ISequentialInStream **stream)
{
    if (!stream)
        return E_INVALIDARG;
    *stream = nullptr;
    if (index >= m_items->size())
        return E_INVALIDARG;
    const ArchiveItem &item = (*m_items)[index];
    if (item.isDir)
        return S_OK;
    try {
        if (item.isLink) {
            *stream = new MemoryInStream(item.linkTarget);
            return S_OK;
        }
        return openSource(item, stream);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT UpdateCallback::openSource(const ArchiveItem &item, ISequentialInStream **stream)
{
    // A file removed since it was listed is left out, as if it had gone before the run;
    // one that turned into something other than a file is not read (O_NONBLOCK: a FIFO
    // does not hang the open). Any other failure to open ends the run: an archive
    // silently missing a file is not a backup.
    const char *path = item.sourcePath.c_str();
    struct stat st;
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (item.followLink ? 0 : O_NOFOLLOW);
    int fd;
    do
        fd = ::open(path, flags);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ELOOP)
            return S_FALSE;
        std::lock_guard lock(m_mutex);
        if (!m_failure)
            m_failure = SourceError{item.sourcePath, error};
        return hresultFromErrno(error);
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return S_FALSE;
    }
    if (st.st_size >= (1 << 20))
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    try {
        *stream = new FileInStream(fd, UInt64(st.st_size));
    } catch (...) {
        ::close(fd);
        throw;
    }
    return S_OK;
}

HRESULT UpdateCallback::SetOperationResult(Int32)
{
    return S_OK;
}

HRESULT UpdateCallback::GetStream2(UInt32 index, ISequentialInStream **stream, UInt32)
{
    // The same data whether the engine analyses the file or stores it.
    return GetStream(index, stream);
}

HRESULT UpdateCallback::ReportOperation(UInt32, UInt32, UInt32)
{
    return S_OK;
}

HRESULT UpdateCallback::CryptoGetTextPassword2(Int32 *passwordIsDefined, BSTR *password)
{
    try {
        if (passwordIsDefined)
            *passwordIsDefined = m_password.isEmpty() ? 0 : 1;
        if (password)
            *password = allocBstr(m_password);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

std::optional<SourceError> UpdateCallback::sourceFailure() const
{
    std::lock_guard lock(m_mutex);
    return m_failure;
}

bool UpdateCallback::canceled() const
{
    std::lock_guard lock(m_mutex);
    return m_canceled;
}

} // namespace norvex::archivers::sevenzip
