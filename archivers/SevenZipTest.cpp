// The 7z half of the archive test: the engine decodes every item in test mode, which
// checks each stream's CRC, and reports per item.
#include "archivers/SevenZipTest.h"

#include "archivers/SevenZip.h"
#include "archivers/SevenZipEngine.h"
#include "archivers/SevenZipLibrary.h"
#include "archivers/SevenZipReading.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace norvex::archivers {

namespace sevenzip {

namespace {

// Takes no data (test mode); keeps the first item the engine found bad.
class TestCallback final : public ExtractCallbackBase
{
public:
    TestCallback(QString password, const CountingInStream &in, UInt64 size,
                 const ArchiveTestProgress &progress)
        : ExtractCallbackBase(std::move(password)), m_in(in), m_size(size), m_progress(progress),
          m_caller(std::this_thread::get_id())
    {
    }

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

NORVEX_ENGINE_CALL QString testWith(const SevenZipLibrary &library, int fd, UInt64 size,
                                    const QString &password, const ArchiveTestProgress &progress)
{
    ComPtr<IInArchive> archive;
    HRESULT hr = library.createObject(CLSID_Format7z, IID_IInArchive, archive.out());
    if (hr != S_OK || !archive)
        return QStringLiteral("7-Zip エンジンを使えません（0x%1）。")
            .arg(quint32(hr), 8, 16, QLatin1Char('0'));
    auto *in = new CountingInStream(fd, size);
    struct Releaser
    {
        CountingInStream *in;
        ~Releaser() { in->Release(); }
    } releaser{in};
    if (QString why = openArchive(archive.get(), in, password); !why.isEmpty())
        return why;
    struct Closer
    {
        IInArchive *archive;
        NORVEX_ENGINE_CALL ~Closer() { archive->Close(); }
    } closer{archive.get()};

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
