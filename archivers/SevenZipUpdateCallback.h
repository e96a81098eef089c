#pragma once

#include "archivers/SevenZipItems.h"

#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace norvex::archivers::sevenzip {

// Progress in bytes; false cancels the run. May be called on engine threads (serialised).
using ProgressHandler = std::function<bool(quint64 completed, quint64 total)>;

// Describes the new archive's items to the engine and hands it their data. The engine
// calls it on its own worker threads under multi-threaded compression, so everything here
// is either read-only during the run or guarded; no exception leaves a method.
class UpdateCallback final
    : public ComObject<IArchiveUpdateCallback, IArchiveUpdateCallbackFile, ICryptoGetTextPassword2>
{
public:
    UpdateCallback(std::shared_ptr<const std::vector<ArchiveItem>> items, QString password,
                   ProgressHandler onProgress);

    HRESULT QueryInterface(const GUID &iid, void **out) override;

    HRESULT SetTotal(UInt64 total) override;
    HRESULT SetCompleted(const UInt64 *completed) override;

    HRESULT GetUpdateItemInfo(UInt32 index, Int32 *newData, Int32 *newProps,
                              UInt32 *indexInArchive) override;
    HRESULT GetProperty(UInt32 index, PROPID propId, PROPVARIANT *value) override;
    HRESULT GetStream(UInt32 index, ISequentialInStream **stream) override;
    HRESULT SetOperationResult(Int32 result) override;

    HRESULT GetStream2(UInt32 index, ISequentialInStream **stream, UInt32 notifyOp) override;
    HRESULT ReportOperation(UInt32 indexType, UInt32 index, UInt32 notifyOp) override;

    HRESULT CryptoGetTextPassword2(Int32 *passwordIsDefined, BSTR *password) override;

    // The first source that could not be read, when that ended the run.
    std::optional<SourceError> sourceFailure() const;
    bool canceled() const;

private:
    ~UpdateCallback() = default;
    void destroy() override { delete this; }

    HRESULT report(UInt64 completed);
    HRESULT openSource(const ArchiveItem &item, ISequentialInStream **stream);

    const std::shared_ptr<const std::vector<ArchiveItem>> m_items;
    const QString m_password;
    const ProgressHandler m_onProgress;

    mutable std::mutex m_mutex;
    UInt64 m_total = 0;
    std::optional<SourceError> m_failure;
    bool m_canceled = false;
};

} // namespace norvex::archivers::sevenzip
