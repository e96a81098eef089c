// The engine's extract path: IInArchive::Extract with a callback that hands each wanted
// item's data to the sink and passes on the engine's check of it.
#include "archivers/ArchiveReader.h"

#include "archivers/SevenZip.h"
#include "archivers/SevenZipLibrary.h"
#include "archivers/SevenZipReading.h"
#include "archivers/Utf8Names.h"
#include "platform/Paths.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::archivers {

using namespace sevenzip;

struct ArchiveReader::Engine
{
    std::unique_ptr<SevenZipLibrary> library;
    int fd = -1;
    CountingInStream *in = nullptr;
    ComPtr<IInArchive> archive;
    QString password;

    NORVEX_ENGINE_CALL ~Engine()
    {
        if (archive)
            archive->Close();
        archive.reset();
        if (in)
            in->Release();
        if (fd >= 0)
            ::close(fd);
    }
};

namespace sevenzip {

namespace {

// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr qint64 kUnixEpochTicks = 116444736000000000LL;

NORVEX_ENGINE_CALL bool property(IInArchive *archive, UInt32 index, PROPID id, PROPVARIANT &value)
{
    value = PROPVARIANT{};
    return archive->GetProperty(index, id, &value) == S_OK;
}

NORVEX_ENGINE_CALL ArchiveItem readItem(IInArchive *archive, UInt32 index)
{
    ArchiveItem item;
    item.index = index;
    PROPVARIANT v;
    if (property(archive, index, kpidPath, v) && v.vt == VT_BSTR) {
        item.path = nameBytes(fromBstr(v.bstrVal));
        freeBstr(v.bstrVal);
    }
    while (item.path.endsWith('/'))
        item.path.chop(1);
    const bool isDir = property(archive, index, kpidIsDir, v) && v.vt == VT_BOOL && v.boolVal != 0;
    if (property(archive, index, kpidSize, v))
        item.size = v.vt == VT_UI8 ? v.uhVal : v.vt == VT_UI4 ? v.ulVal : 0;
    if (property(archive, index, kpidMTime, v) && v.vt == VT_FILETIME) {
        const qint64 ticks =
            qint64((quint64(v.filetime.dwHighDateTime) << 32) | v.filetime.dwLowDateTime);
        item.hasTime = true;
        item.mtimeNs = (ticks - kUnixEpochTicks) * 100;
    }
    quint32 unixMode = 0;
    if (property(archive, index, kpidPosixAttrib, v) && v.vt == VT_UI4)
        unixMode = v.ulVal;
    else if (property(archive, index, kpidAttrib, v) && v.vt == VT_UI4 && (v.ulVal & 0x8000))
        unixMode = v.ulVal >> 16;
    if (unixMode != 0) {
        item.hasMode = true;
        item.mode = unixMode & 07777;
    }
    if (isDir || S_ISDIR(unixMode))
        item.type = ArchiveItem::Type::Folder;
    else if (S_ISLNK(unixMode))
        item.type = ArchiveItem::Type::Link;
    item.encrypted =
        property(archive, index, kpidEncrypted, v) && v.vt == VT_BOOL && v.boolVal != 0;
    return item;
}

class SinkOutStream final : public ComObject<ISequentialOutStream>
{
public:
    SinkOutStream(ArchiveSink &sink, std::atomic<bool> &failed) : m_sink(sink), m_failed(failed) {}
    HRESULT QueryInterface(const GUID &iid, void **out) override
    {
        if (iid == IID_IUnknown || iid == IID_ISequentialOutStream)
            return hand(static_cast<ISequentialOutStream *>(this), out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT Write(const void *data, UInt32 size, UInt32 *processed) override
    {
        if (processed)
            *processed = 0;
        bool ok = false;
        try {
            ok = m_sink.write(static_cast<const char *>(data), size);
        } catch (...) {
        }
        if (!ok) {
            m_failed = true;
            return E_ABORT;
        }
        if (processed)
            *processed = size;
        return S_OK;
    }

private:
    ~SinkOutStream() = default;
    void destroy() override { delete this; }

    ArchiveSink &m_sink;
    std::atomic<bool> &m_failed;
};

class ExtractCallback final : public ExtractCallbackBase
{
public:
    ExtractCallback(QString password, const QList<ArchiveItem> &items, ArchiveSink &sink)
        : ExtractCallbackBase(std::move(password)), m_items(items), m_sink(sink)
    {
    }

    HRESULT SetTotal(UInt64 total) override
    {
        m_total = total;
        return S_OK;
    }
    HRESULT SetCompleted(const UInt64 *done) override
    {
        bool go = false;
        try {
            go = m_sink.progress(done ? *done : 0, m_total);
        } catch (...) {
        }
        if (go)
            return S_OK;
        m_cancelled = true;
        return E_ABORT;
    }
    HRESULT GetStream(UInt32 index, ISequentialOutStream **out, Int32 askMode) override
    {
        *out = nullptr;
        m_current = nullptr;
        if (index >= UInt32(m_items.size()))
            return S_OK;
        const ArchiveItem &item = m_items.at(index);
        // An item the engine already knows to be damaged (a wrong AES key, say) is asked
        // for in test mode, so that nothing of it is written; its verdict still counts.
        if (askMode == kTest) {
            m_current = &item;
            m_begun = false;
            return S_OK;
        }
        if (askMode != kExtract)
            return S_OK;
        try {
            if (!m_sink.begin(item))
                return S_OK;
            *out = new SinkOutStream(m_sink, m_sinkFailed);
            m_begun = true;
        } catch (...) {
            m_sinkFailed = true;
            return E_ABORT;
        }
        m_current = &item;
        return S_OK;
    }
    HRESULT PrepareOperation(Int32) override { return S_OK; }
    HRESULT SetOperationResult(Int32 result) override
    {
        if (!m_current)
            return S_OK;
        ItemVerdict verdict;
        if (result == kResultOk && !m_begun) {
            m_current = nullptr;
            return S_OK;
        }
        if (result != kResultOk) {
            verdict.ok = false;
            verdict.wrongPassword = result == kResultWrongPassword ||
                                    (result == kResultDataError && m_current->encrypted);
            verdict.text = operationText(result);
        }
        const ArchiveItem &item = *m_current;
        m_current = nullptr;
        m_begun = false;
        try {
            m_sink.end(item, verdict);
        } catch (...) {
            m_sinkFailed = true;
            return E_ABORT;
        }
        return S_OK;
    }

    bool cancelled() const { return m_cancelled; }
    bool sinkFailed() const { return m_sinkFailed; }

private:
    ~ExtractCallback() = default;
    void destroy() override { delete this; }

    const QList<ArchiveItem> &m_items;
    ArchiveSink &m_sink;
    UInt64 m_total = 0;
    const ArchiveItem *m_current = nullptr;
    bool m_begun = false; // the sink took the current item's data
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_sinkFailed{false};
};

} // namespace
} // namespace sevenzip

ArchiveReader::ArchiveReader() = default;
ArchiveReader::~ArchiveReader() = default;

bool ArchiveReader::encrypted() const
{
    return std::any_of(m_items.begin(), m_items.end(),
                       [](const ArchiveItem &item) { return item.encrypted; });
}

NORVEX_ENGINE_CALL bool ArchiveReader::open(const QString &path, ArchiveKind kind,
                                            const QString &password)
{
    m_engine.reset();
    m_items.clear();
    m_error.clear();
    auto engine = std::make_unique<Engine>();
    try {
        engine->library = std::make_unique<SevenZipLibrary>(TSevenZip::defaultLibraryPaths());
    } catch (const shared::Exception &e) {
        m_error = e.message();
        return false;
    }
    engine->fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat st
    {
    };
    if (engine->fd < 0 || ::fstat(engine->fd, &st) != 0) {
        m_error = QStringLiteral("アーカイブ %1 を開けません: %2")
                      .arg(path, platform::systemErrorText(errno));
        return false;
    }
    const HRESULT hr =
        engine->library->createObject(kind == ArchiveKind::Zip ? CLSID_FormatZip : CLSID_Format7z,
                                      IID_IInArchive, engine->archive.out());
    if (hr != S_OK || !engine->archive) {
        m_error = QStringLiteral("7-Zip エンジンを使えません（0x%1）。")
                      .arg(quint32(hr), 8, 16, QLatin1Char('0'));
        return false;
    }
    engine->in = new CountingInStream(engine->fd, UInt64(st.st_size));
    engine->password = password;
    m_error = openArchive(engine->archive.get(), engine->in, password);
    if (!m_error.isEmpty()) {
        if (kind == ArchiveKind::Zip && m_error.startsWith(QStringLiteral("7z ")))
            m_error = QStringLiteral("ZIP 形式ではないか、壊れています。");
        engine->archive.reset();
        return false;
    }
    UInt32 count = 0;
    engine->archive->GetNumberOfItems(&count);
    m_items.reserve(count);
    for (UInt32 i = 0; i < count; ++i)
        m_items.append(readItem(engine->archive.get(), i));
    m_engine = std::move(engine);
    return true;
}

NORVEX_ENGINE_CALL ArchiveReader::Stop ArchiveReader::extract(const QList<quint32> &indices,
                                                              ArchiveSink &sink)
{
    m_error.clear();
    if (!m_engine) {
        m_error = QStringLiteral("アーカイブが開かれていません。");
        return Stop::EngineFailed;
    }
    std::vector<UInt32> sorted(indices.begin(), indices.end());
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    auto *callback = new ExtractCallback(m_engine->password, m_items, sink);
    const HRESULT hr =
        m_engine->archive->Extract(sorted.data(), UInt32(sorted.size()), 0, callback);
    const bool cancelled = callback->cancelled();
    const bool sinkFailed = callback->sinkFailed();
    callback->Release();
    if (sinkFailed)
        return Stop::SinkFailed;
    if (cancelled)
        return Stop::Cancelled;
    if (hr != S_OK) {
        m_error = QStringLiteral("エンジンがアーカイブを最後まで読めませんでした（0x%1）。")
                      .arg(quint32(hr), 8, 16, QLatin1Char('0'));
        return Stop::EngineFailed;
    }
    return Stop::Completed;
}

} // namespace norvex::archivers
