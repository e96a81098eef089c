#pragma once

// The 7-Zip engine's COM-style interfaces as 7z.so (7-Zip 23 and later) lays them out on
// Linux: x86-64 SysV calls, IUnknown without a virtual destructor, HRESULT/ULONG 32 bits,
// wchar_t 32 bits holding UTF-16 code units. Nothing here is exported under a C name:
// the engine resolves SysFreeString, VariantClear and IID_* through its own PLT, and a
// host symbol of the same name would be called instead.

#include <QString>
#include <atomic>
#include <cstdint>
#include <cstring>

// UBSan's vptr check reads our RTTI out of engine objects and reports every call on them.
#define NORVEX_ENGINE_CALL __attribute__((no_sanitize("vptr")))

namespace norvex::archivers::sevenzip {

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using UInt32 = std::uint32_t;
using Int32 = std::int32_t;
using UInt64 = std::uint64_t;
using Int64 = std::int64_t;
using PROPID = std::uint32_t;
using BSTR = wchar_t *;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = HRESULT(0x80004001);
constexpr HRESULT E_NOINTERFACE = HRESULT(0x80004002);
constexpr HRESULT E_ABORT = HRESULT(0x80004004);
constexpr HRESULT E_FAIL = HRESULT(0x80004005);
constexpr HRESULT E_OUTOFMEMORY = HRESULT(0x8007000E);
constexpr HRESULT E_INVALIDARG = HRESULT(0x80070057);

// The engine's Unix convention for errno values.
constexpr HRESULT hresultFromErrno(int error)
{
    return HRESULT(0x88000000u | (unsigned(error) & 0xFFFFu));
}
constexpr bool isErrnoHresult(HRESULT hr)
{
    return (std::uint32_t(hr) & 0xFFFF0000u) == 0x88000000u;
}

struct GUID
{
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};

inline bool operator==(const GUID &a, const GUID &b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// {23170F69-40C1-278A-0000-00gg00ss0000}: group gg, sub-id ss.
constexpr GUID engineIid(std::uint8_t group, std::uint8_t sub)
{
    return {0x23170F69, 0x40C1, 0x278A, {0, 0, 0, group, 0, sub, 0, 0}};
}

constexpr GUID IID_IUnknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID IID_ISequentialInStream = engineIid(0x03, 0x01);
constexpr GUID IID_ISequentialOutStream = engineIid(0x03, 0x02);
constexpr GUID IID_IInStream = engineIid(0x03, 0x03);
constexpr GUID IID_IOutStream = engineIid(0x03, 0x04);
constexpr GUID IID_IStreamGetSize = engineIid(0x03, 0x06);
constexpr GUID IID_IProgress = engineIid(0x00, 0x05);
constexpr GUID IID_ICryptoGetTextPassword2 = engineIid(0x05, 0x11);
constexpr GUID IID_ISetProperties = engineIid(0x06, 0x03);
constexpr GUID IID_IOutArchive = engineIid(0x06, 0xA0);
constexpr GUID IID_IArchiveUpdateCallback = engineIid(0x06, 0x80);
constexpr GUID IID_IArchiveUpdateCallbackFile = engineIid(0x06, 0x83);
// The 7z format handler.
constexpr GUID CLSID_Format7z = {0x23170F69, 0x40C1, 0x278A, {0x10, 0, 0, 0x01, 0x10, 0x07, 0, 0}};

enum VarType : std::uint16_t {
    VT_EMPTY = 0,
    VT_BSTR = 8,
    VT_BOOL = 11,
    VT_UI4 = 19,
    VT_UI8 = 21,
    VT_FILETIME = 64,
};
constexpr std::int16_t VARIANT_TRUE = -1;
constexpr std::int16_t VARIANT_FALSE = 0;

struct FILETIME
{
    std::uint32_t dwLowDateTime;
    std::uint32_t dwHighDateTime;
};

struct PROPVARIANT
{
    std::uint16_t vt;
    std::uint16_t wReserved1;
    std::uint16_t wReserved2;
    std::uint16_t wReserved3;
    union {
        std::int16_t boolVal;
        std::uint32_t ulVal;
        std::uint64_t uhVal;
        FILETIME filetime;
        BSTR bstrVal;
    };
};
static_assert(sizeof(PROPVARIANT) == 16);
static_assert(sizeof(wchar_t) == 4);

enum PropId : PROPID {
    kpidPath = 3,
    kpidIsDir = 6,
    kpidSize = 7,
    kpidAttrib = 9,
    kpidCTime = 10,
    kpidATime = 11,
    kpidMTime = 12,
    kpidIsAnti = 21,
};

// A BSTR the engine can free: a byte count, the UTF-16 code units one per wchar_t, a 0.
// The engine wipes SysStringLen(b) characters of a password, so the count must be exact.
BSTR allocBstr(const QString &text);
void freeBstr(BSTR b);

// Interfaces. The protected destructors keep -Wnon-virtual-dtor quiet without adding
// vtable slots; objects are only ever destroyed through Release.
struct IUnknown
{
    virtual HRESULT QueryInterface(const GUID &iid, void **out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

struct ISequentialInStream : IUnknown
{
    virtual HRESULT Read(void *data, UInt32 size, UInt32 *processed) = 0;

protected:
    ~ISequentialInStream() = default;
};

struct IInStream : ISequentialInStream
{
    virtual HRESULT Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) = 0;

protected:
    ~IInStream() = default;
};

struct IStreamGetSize : IUnknown
{
    virtual HRESULT GetSize(UInt64 *size) = 0;

protected:
    ~IStreamGetSize() = default;
};

struct ISequentialOutStream : IUnknown
{
    virtual HRESULT Write(const void *data, UInt32 size, UInt32 *processed) = 0;

protected:
    ~ISequentialOutStream() = default;
};

struct IOutStream : ISequentialOutStream
{
    virtual HRESULT Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) = 0;
    virtual HRESULT SetSize(UInt64 newSize) = 0;

protected:
    ~IOutStream() = default;
};

struct IProgress : IUnknown
{
    virtual HRESULT SetTotal(UInt64 total) = 0;
    virtual HRESULT SetCompleted(const UInt64 *completed) = 0;

protected:
    ~IProgress() = default;
};

struct IArchiveUpdateCallback : IProgress
{
    virtual HRESULT GetUpdateItemInfo(UInt32 index, Int32 *newData, Int32 *newProps,
                                      UInt32 *indexInArchive) = 0;
    virtual HRESULT GetProperty(UInt32 index, PROPID propId, PROPVARIANT *value) = 0;
    virtual HRESULT GetStream(UInt32 index, ISequentialInStream **stream) = 0;
    virtual HRESULT SetOperationResult(Int32 result) = 0;

protected:
    ~IArchiveUpdateCallback() = default;
};

// Lets the engine read the start of a file before it picks the filters: without it,
// BCJ goes by extension alone (".so" of any content), and archives differ from the CLI's.
struct IArchiveUpdateCallbackFile : IUnknown
{
    virtual HRESULT GetStream2(UInt32 index, ISequentialInStream **stream, UInt32 notifyOp) = 0;
    virtual HRESULT ReportOperation(UInt32 indexType, UInt32 index, UInt32 notifyOp) = 0;

protected:
    ~IArchiveUpdateCallbackFile() = default;
};

struct ICryptoGetTextPassword2 : IUnknown
{
    virtual HRESULT CryptoGetTextPassword2(Int32 *passwordIsDefined, BSTR *password) = 0;

protected:
    ~ICryptoGetTextPassword2() = default;
};

struct IOutArchive : IUnknown
{
    virtual HRESULT UpdateItems(ISequentialOutStream *out, UInt32 count,
                                IArchiveUpdateCallback *callback) = 0;
    virtual HRESULT GetFileTimeType(UInt32 *type) = 0;

protected:
    ~IOutArchive() = default;
};

struct ISetProperties : IUnknown
{
    virtual HRESULT SetProperties(const wchar_t *const *names, const PROPVARIANT *values,
                                  UInt32 count) = 0;

protected:
    ~ISetProperties() = default;
};

// Exported entry points of 7z.so.
using CreateObjectFunc = HRESULT (*)(const GUID *clsid, const GUID *iid, void **out);
using GetModulePropFunc = HRESULT (*)(PROPID propId, PROPVARIANT *value);

// Holds one reference to an engine object.
template <class T>
class ComPtr
{
public:
    ComPtr() = default;
    ComPtr(const ComPtr &) = delete;
    ComPtr &operator=(const ComPtr &) = delete;
    NORVEX_ENGINE_CALL ~ComPtr() { reset(); }

    NORVEX_ENGINE_CALL void reset()
    {
        if (m_ptr)
            m_ptr->Release();
        m_ptr = nullptr;
    }
    // For out-parameters: releases what is held and hands out the slot.
    void **out()
    {
        reset();
        return reinterpret_cast<void **>(&m_ptr);
    }
    T *get() const { return m_ptr; }
    T *operator->() const { return m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

private:
    T *m_ptr = nullptr;
};

// Reference counting for our own objects; callbacks may run on engine threads. Each
// object starts with one reference, owned by whoever created it.
template <class... Interfaces>
class ComObject : public Interfaces...
{
public:
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override
    {
        const ULONG left = --m_refs;
        if (left == 0)
            destroy();
        return left;
    }

protected:
    ComObject() = default;
    ~ComObject() = default;
    virtual void destroy() = 0;

private:
    std::atomic<ULONG> m_refs{1};
};

} // namespace norvex::archivers::sevenzip
