#pragma once

// The engine's reading side: the interfaces IInArchive::Open and Extract use, the archive
// file as an input stream, and the texts for the engine's per-item results. Shared by the
// archive test (nothing written) and the archive reader (restore).

#include "archivers/SevenZipEngine.h"

#include <atomic>

namespace norvex::archivers::sevenzip {

// Declared with external linkage on purpose: in an unnamed namespace the compiler sees no
// class of ours implementing IInArchive and turns calls into the engine's object into
// pure-virtual calls.
constexpr GUID IID_IArchiveOpenCallback = engineIid(0x06, 0x10);
constexpr GUID IID_IArchiveExtractCallback = engineIid(0x06, 0x20);
constexpr GUID IID_IInArchive = engineIid(0x06, 0x60);
constexpr GUID IID_ICryptoGetTextPassword = engineIid(0x05, 0x10);
// The ZIP format handler.
constexpr GUID CLSID_FormatZip = {0x23170F69, 0x40C1, 0x278A, {0x10, 0, 0, 0x01, 0x10, 0x01, 0, 0}};

constexpr PROPID kpidEncrypted = 15;
constexpr PROPID kpidPosixAttrib = 53;
constexpr PROPID kpidError = 55;
constexpr PROPID kpidErrorFlags = 71;

// IArchiveExtractCallback's askMode and result values.
constexpr Int32 kExtract = 0;
constexpr Int32 kTest = 1;
constexpr Int32 kResultOk = 0;
constexpr Int32 kResultDataError = 2;
constexpr Int32 kResultWrongPassword = 9;

struct IArchiveOpenCallback : IUnknown
{
    virtual HRESULT SetTotal(const UInt64 *files, const UInt64 *bytes) = 0;
    virtual HRESULT SetCompleted(const UInt64 *files, const UInt64 *bytes) = 0;

protected:
    ~IArchiveOpenCallback() = default;
};

struct IArchiveExtractCallback : IProgress
{
    virtual HRESULT GetStream(UInt32 index, ISequentialOutStream **out, Int32 askMode) = 0;
    virtual HRESULT PrepareOperation(Int32 askMode) = 0;
    virtual HRESULT SetOperationResult(Int32 result) = 0;

protected:
    ~IArchiveExtractCallback() = default;
};

struct ICryptoGetTextPassword : IUnknown
{
    virtual HRESULT CryptoGetTextPassword(BSTR *password) = 0;

protected:
    ~ICryptoGetTextPassword() = default;
};

struct IInArchive : IUnknown
{
    virtual HRESULT Open(IInStream *stream, const UInt64 *maxCheckStart,
                         IArchiveOpenCallback *callback) = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT GetNumberOfItems(UInt32 *count) = 0;
    virtual HRESULT GetProperty(UInt32 index, PROPID propId, PROPVARIANT *value) = 0;
    virtual HRESULT Extract(const UInt32 *indices, UInt32 count, Int32 testMode,
                            IArchiveExtractCallback *callback) = 0;
    virtual HRESULT GetArchiveProperty(PROPID propId, PROPVARIANT *value) = 0;
    virtual HRESULT GetNumberOfProperties(UInt32 *count) = 0;
    virtual HRESULT GetPropertyInfo(UInt32 index, BSTR *name, PROPID *propId,
                                    std::uint16_t *varType) = 0;
    virtual HRESULT GetNumberOfArchiveProperties(UInt32 *count) = 0;
    virtual HRESULT GetArchivePropertyInfo(UInt32 index, BSTR *name, PROPID *propId,
                                           std::uint16_t *varType) = 0;

protected:
    ~IInArchive() = default;
};

template <class T>
HRESULT hand(T *object, void **out)
{
    object->AddRef();
    *out = object;
    return S_OK;
}

// The archive file, read with pread; counts what the engine has read. fd stays the
// caller's.
class CountingInStream final : public ComObject<IInStream, IStreamGetSize>
{
public:
    CountingInStream(int fd, UInt64 size) : m_fd(fd), m_size(size) {}

    HRESULT QueryInterface(const GUID &iid, void **out) override;
    HRESULT Read(void *data, UInt32 size, UInt32 *processed) override;
    HRESULT Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) override;
    HRESULT GetSize(UInt64 *size) override;
    UInt64 bytesRead() const { return m_read; }

private:
    ~CountingInStream() = default;
    void destroy() override { delete this; }

    const int m_fd;
    const UInt64 m_size;
    UInt64 m_position = 0;
    std::atomic<UInt64> m_read{0};
};

class PasswordGiver : public ICryptoGetTextPassword
{
public:
    HRESULT CryptoGetTextPassword(BSTR *password) override;
    // Whether the engine asked: only encrypted data does.
    bool asked() const { return m_asked; }

protected:
    explicit PasswordGiver(QString password) : m_password(std::move(password)) {}
    ~PasswordGiver() = default;

private:
    QString m_password;
    std::atomic<bool> m_asked{false};
};

class OpenCallback final : public ComObject<IArchiveOpenCallback>, public PasswordGiver
{
public:
    explicit OpenCallback(QString password) : PasswordGiver(std::move(password)) {}
    HRESULT QueryInterface(const GUID &iid, void **out) override;
    ULONG AddRef() override { return ComObject::AddRef(); }
    ULONG Release() override { return ComObject::Release(); }
    HRESULT SetTotal(const UInt64 *, const UInt64 *) override { return S_OK; }
    HRESULT SetCompleted(const UInt64 *, const UInt64 *) override { return S_OK; }

private:
    ~OpenCallback() = default;
    void destroy() override { delete this; }
};

// An extract callback that gives the password when the engine asks for one.
class ExtractCallbackBase : public ComObject<IArchiveExtractCallback>, public PasswordGiver
{
public:
    HRESULT QueryInterface(const GUID &iid, void **out) override;
    ULONG AddRef() override { return ComObject::AddRef(); }
    ULONG Release() override { return ComObject::Release(); }

protected:
    explicit ExtractCallbackBase(QString password) : PasswordGiver(std::move(password)) {}
    ~ExtractCallbackBase() = default;
};

// Opens the archive behind in with the format handler clsid. Empty when it is open (the
// caller closes it); else why not, in Japanese.
QString openArchive(IInArchive *archive, CountingInStream *in, const QString &password);

// A string the engine returned, as UTF-16 code units (the engine's wchar_t holds them).
QString fromBstr(BSTR b);
// kpidPath of item index, or "#n" when it has none.
QString itemPath(IInArchive *archive, UInt32 index);
// The text for an IArchiveExtractCallback result other than 0.
QString operationText(Int32 result);

} // namespace norvex::archivers::sevenzip
