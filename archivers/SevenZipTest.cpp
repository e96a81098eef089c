// The 7z half of the archive test: the engine decodes every item in test mode, which
// checks each stream's CRC, and reports per item.
#include "archivers/SevenZipTest.h"

#include "archivers/SevenZip.h"
#include "archivers/SevenZipEngine.h"
#include "archivers/SevenZipLibrary.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace norvex::archivers {

namespace sevenzip {

// Declared with external linkage on purpose: in an unnamed namespace the compiler sees no
// class of ours implementing IInArchive and turns calls into the engine's object into
// pure-virtual calls.
constexpr GUID IID_IArchiveOpenCallback = engineIid(0x06, 0x10);
constexpr GUID IID_IArchiveExtractCallback = engineIid(0x06, 0x20);
constexpr GUID IID_IInArchive = engineIid(0x06, 0x60);
constexpr GUID IID_ICryptoGetTextPassword = engineIid(0x05, 0x10);

constexpr PROPID kpidErrorFlags = 71;
constexpr PROPID kpidError = 55;

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

namespace {

template <class T>
HRESULT hand(T *object, void **out)
{
    object->AddRef();
    *out = object;
    return S_OK;
}

// The archive file, read with pread; counts what the engine has read.
class CountingInStream final : public ComObject<IInStream, IStreamGetSize>
{
public:
    CountingInStream(int fd, UInt64 size) : m_fd(fd), m_size(size) {}

    HRESULT QueryInterface(const GUID &iid, void **out) override
    {
        if (iid == IID_IUnknown || iid == IID_ISequentialInStream || iid == IID_IInStream)
            return hand(static_cast<IInStream *>(this), out);
        if (iid == IID_IStreamGetSize)
            return hand(static_cast<IStreamGetSize *>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT Read(void *data, UInt32 size, UInt32 *processed) override
    {
        if (processed)
            *processed = 0;
        for (;;) {
            const ssize_t n = ::pread(m_fd, data, size, Int64(m_position));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return hresultFromErrno(errno);
            m_position += UInt64(n);
            m_read += UInt64(n);
            if (processed)
                *processed = UInt32(n);
            return S_OK;
        }
    }
    HRESULT Seek(Int64 offset, UInt32 origin, UInt64 *newPosition) override
    {
        Int64 base = origin == 0 ? 0 : origin == 1 ? Int64(m_position) : Int64(m_size);
        if (origin > 2 || base + offset < 0)
            return E_INVALIDARG;
        m_position = UInt64(base + offset);
        if (newPosition)
            *newPosition = m_position;
        return S_OK;
    }
    HRESULT GetSize(UInt64 *size) override
    {
        *size = m_size;
        return S_OK;
    }
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
    HRESULT CryptoGetTextPassword(BSTR *password) override
    {
        try {
            *password = allocBstr(m_password);
        } catch (const std::bad_alloc &) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

protected:
    explicit PasswordGiver(QString password) : m_password(std::move(password)) {}
    ~PasswordGiver() = default;

private:
    QString m_password;
};

class OpenCallback final : public ComObject<IArchiveOpenCallback>, public PasswordGiver
{
public:
    explicit OpenCallback(QString password) : PasswordGiver(std::move(password)) {}
    HRESULT QueryInterface(const GUID &iid, void **out) override
    {
        if (iid == IID_IUnknown || iid == IID_IArchiveOpenCallback)
            return hand(static_cast<IArchiveOpenCallback *>(this), out);
        if (iid == IID_ICryptoGetTextPassword)
            return hand(static_cast<ICryptoGetTextPassword *>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ComObject::AddRef(); }
    ULONG Release() override { return ComObject::Release(); }
    HRESULT SetTotal(const UInt64 *, const UInt64 *) override { return S_OK; }
    HRESULT SetCompleted(const UInt64 *, const UInt64 *) override { return S_OK; }

private:
    ~OpenCallback() = default;
    void destroy() override { delete this; }
};

// Takes no data (test mode); keeps the first item the engine found bad.
class TestCallback final : public ComObject<IArchiveExtractCallback>, public PasswordGiver
{
public:
    TestCallback(QString password, const CountingInStream &in, UInt64 size,
                 const ArchiveTestProgress &progress)
        : PasswordGiver(std::move(password)), m_in(in), m_size(size), m_progress(progress),
          m_caller(std::this_thread::get_id())
    {
    }
    HRESULT QueryInterface(const GUID &iid, void **out) override
    {
        if (iid == IID_IUnknown || iid == IID_IProgress || iid == IID_IArchiveExtractCallback)
            return hand(static_cast<IArchiveExtractCallback *>(this), out);
        if (iid == IID_ICryptoGetTextPassword)
            return hand(static_cast<ICryptoGetTextPassword *>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ComObject::AddRef(); }
    ULONG Release() override { return ComObject::Release(); }

    HRESULT SetTotal(UInt64) override { return S_OK; }
    HRESULT SetCompleted(const UInt64 *) override
    {
        // The caller is promised its own thread: reports from engine threads are dropped.
        if (!m_progress || std::this_thread::get_id() != m_caller)
            return S_OK;
        const UInt64 read = std::min(m_in.bytesRead(), m_size);
        if (read >= m_reported + (1u << 20)) {
            m_reported = read;
            try {
                m_progress(qint64(read), qint64(m_size));
            } catch (...) {
                return E_ABORT;
            }
        }
        return S_OK;
    }
    HRESULT GetStream(UInt32 index, ISequentialOutStream **out, Int32) override
    {
        m_current = index;
        *out = nullptr;
        return S_OK;
    }
    HRESULT PrepareOperation(Int32) override { return S_OK; }
    HRESULT SetOperationResult(Int32 result) override
    {
        if (result != 0 && m_badResult == 0) {
            m_badResult = result;
            m_badItem = m_current.load();
        }
        return S_OK;
    }

    Int32 badResult() const { return m_badResult; }
    UInt32 badItem() const { return m_badItem; }

private:
    ~TestCallback() = default;
    void destroy() override { delete this; }

    const CountingInStream &m_in;
    const UInt64 m_size;
    const ArchiveTestProgress &m_progress;
    const std::thread::id m_caller;
    UInt64 m_reported = 0;
    std::atomic<UInt32> m_current{0};
    std::atomic<Int32> m_badResult{0};
    std::atomic<UInt32> m_badItem{0};
};

QString fromBstr(BSTR b)
{
    QString text;
    for (const wchar_t *p = b; p && *p; ++p)
        text.append(QChar(char16_t(*p)));
    return text;
}

NORVEX_ENGINE_CALL QString itemPath(IInArchive *archive, UInt32 index)
{
    PROPVARIANT value{};
    if (archive->GetProperty(index, kpidPath, &value) != S_OK)
        return QStringLiteral("#%1").arg(index + 1);
    QString path = value.vt == VT_BSTR ? fromBstr(value.bstrVal) : QString();
    if (value.vt == VT_BSTR)
        freeBstr(value.bstrVal);
    return path.isEmpty() ? QStringLiteral("#%1").arg(index + 1) : path;
}

QString operationText(Int32 result)
{
    switch (result) {
    case 1:
        return QStringLiteral("対応していない圧縮方式です。");
    case 2:
        return QStringLiteral("データが壊れています（パスワードが違う可能性があります）。");
    case 3:
        return QStringLiteral("CRC が一致しません。");
    case 4:
        return QStringLiteral("データがありません。");
    case 5:
        return QStringLiteral("データが途中で終わっています。");
    case 6:
        return QStringLiteral("データの後ろに余分なデータがあります。");
    case 7:
        return QStringLiteral("アーカイブではありません。");
    case 8:
        return QStringLiteral("ヘッダが壊れています。");
    case 9:
        return QStringLiteral("パスワードが違います。");
    default:
        return QStringLiteral("エンジンの結果 %1").arg(result);
    }
}

// The open-time flags the engine keeps for the archive (kpv_ErrorFlags_*).
QString errorFlagsText(UInt32 flags)
{
    const std::pair<UInt32, const char *> known[] = {
        {1u << 0, "7z 形式ではありません。"},
        {1u << 1, "ヘッダが壊れています。"},
        {1u << 2, "暗号化されたヘッダを読めません（パスワードが違う可能性があります）。"},
        {1u << 3, "アーカイブの先頭がありません。"},
        {1u << 5, "アーカイブが途中で終わっています。"},
        {1u << 6, "アーカイブの後ろに余分なデータがあります。"},
        {1u << 7, "対応していない圧縮方式です。"},
        {1u << 9, "データが壊れています。"},
        {1u << 10, "CRC が一致しません。"},
    };
    for (const auto &[bit, text] : known)
        if (flags & bit)
            return QString::fromUtf8(text);
    return QStringLiteral("エンジンが誤りを報告しました（0x%1）。").arg(flags, 0, 16);
}

NORVEX_ENGINE_CALL QString testWith(const SevenZipLibrary &library, int fd, UInt64 size,
                                    const QString &password, const ArchiveTestProgress &progress)
{
    ComPtr<IInArchive> archive;
    HRESULT hr = library.createObject(CLSID_Format7z, IID_IInArchive, archive.out());
    if (hr != S_OK || !archive)
        return QStringLiteral("7-Zip エンジンを使えません（0x%1）。")
            .arg(quint32(hr), 8, 16, QLatin1Char('0'));
    auto *in = new CountingInStream(fd, size);
    auto *openCallback = new OpenCallback(password);
    const UInt64 maxStart = 0;
    hr = archive->Open(in, &maxStart, openCallback);
    openCallback->Release();
    struct Releaser
    {
        CountingInStream *in;
        ~Releaser() { in->Release(); }
    } releaser{in};
    if (hr == S_FALSE)
        return QStringLiteral("7z 形式ではないか、ヘッダが壊れています。");
    if (hr == E_ABORT)
        return QStringLiteral(
            "暗号化されたヘッダを読めません（パスワードが違う可能性があります）。");
    if (hr != S_OK)
        return QStringLiteral("アーカイブを開けません（0x%1）。")
            .arg(quint32(hr), 8, 16, QLatin1Char('0'));
    struct Closer
    {
        IInArchive *archive;
        NORVEX_ENGINE_CALL ~Closer() { archive->Close(); }
    } closer{archive.get()};

    PROPVARIANT flags{};
    if (archive->GetArchiveProperty(kpidErrorFlags, &flags) == S_OK && flags.vt == VT_UI4 &&
        flags.ulVal != 0)
        return errorFlagsText(flags.ulVal);
    PROPVARIANT error{};
    if (archive->GetArchiveProperty(kpidError, &error) == S_OK && error.vt == VT_BSTR) {
        const QString text = fromBstr(error.bstrVal);
        freeBstr(error.bstrVal);
        return text;
    }

    auto *callback = new TestCallback(password, *in, size, progress);
    struct CallbackReleaser
    {
        TestCallback *callback;
        ~CallbackReleaser() { callback->Release(); }
    } callbackReleaser{callback};
    // All items (no index list), test mode: decoded and checked, written nowhere.
    hr = archive->Extract(nullptr, UInt32(-1), 1, callback);
    if (callback->badResult() != 0)
        return QStringLiteral("「%1」: ").arg(itemPath(archive.get(), callback->badItem())) +
               operationText(callback->badResult());
    if (hr != S_OK)
        return QStringLiteral("エンジンが検査を終えられませんでした（0x%1）。")
            .arg(quint32(hr), 8, 16, QLatin1Char('0'));
    if (progress)
        progress(qint64(size), qint64(size));
    return {};
}

} // namespace
} // namespace sevenzip

QString testSevenZipArchive(int fd, qint64 size, const QString &password,
                            const ArchiveTestProgress &progress)
{
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    try {
        // The library stays loaded while a run that wrote the archive still holds it:
        // dlopen only counts one more reference then.
        const sevenzip::SevenZipLibrary library(TSevenZip::defaultLibraryPaths());
        return sevenzip::testWith(library, fd, quint64(size), password, progress);
    } catch (const shared::Exception &e) {
        return e.message();
    } catch (const std::bad_alloc &) {
        return QStringLiteral("メモリが足りません。");
    }
}

} // namespace norvex::archivers
