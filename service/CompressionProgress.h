#pragma once

// How far the archive step has come: files and bytes done of the sources' totals. The
// totals come from a walk of the sources on a thread of its own, at the lowest CPU
// priority, so the archive never waits for it; until it is done they are unknown (-1).
// The byte total is known only for trees of up to a few thousand files (countSources).
// The ZIP writer's hooks count what is stored; the 7-Zip engine reports bytes only.
// Reports reach the caller at most every reportMs, from the thread that compresses (or
// an engine thread), never from the counting thread.

#include <QStringList>

#include <atomic>
#include <functional>
#include <thread>

namespace norvex::platform {
class MountTable;
}

namespace norvex::shared {
class ExcludePatterns;
}

namespace norvex::archivers {
class TQuellZip;
class TSevenZip;
} // namespace norvex::archivers

namespace norvex::service {

struct CompressionFigures
{
    qint64 filesDone = 0;
    qint64 filesTotal = -1;
    qint64 bytesDone = 0;
    qint64 bytesTotal = -1;
};

// The files (regular files and links, as the archive stores them) and their bytes below
// sources: a source that is a link is followed, links inside are not; folders of virtual
// file systems in mounts are not entered; what cannot be read is left out. Stops early,
// returning what it has, when stop becomes true. Items the excludes leave out are neither
// counted nor entered. bytesTotal is -1 when there were more
// files than it sizes (4096): a size costs a call per file, the count does not.
CompressionFigures countSources(const QStringList &sources, const platform::MountTable *mounts,
                                const std::atomic<bool> &stop,
                                const shared::ExcludePatterns *excludes = nullptr);

class CompressionProgress
{
public:
    using Report = std::function<void(const CompressionFigures &)>;

    CompressionProgress(Report report, int reportMs = 1000);
    ~CompressionProgress();
    CompressionProgress(const CompressionProgress &) = delete;
    CompressionProgress &operator=(const CompressionProgress &) = delete;

    // Starts the walk for the totals (ZIP). mounts and excludes must outlive this object.
    void countInBackground(const QStringList &sources, const platform::MountTable *mounts,
                           const shared::ExcludePatterns *excludes = nullptr);
    void attach(archivers::TQuellZip &zip);
    void attach(archivers::TSevenZip &sevenZip);
    // The figures now, the totals included when known.
    CompressionFigures figures() const;

private:
    void reportIfDue();

    const Report m_report;
    const qint64 m_reportNs;
    std::atomic<qint64> m_filesDone{0};
    std::atomic<qint64> m_bytesDone{0};
    std::atomic<qint64> m_filesTotal{-1};
    std::atomic<qint64> m_bytesTotal{-1};
    qint64 m_storedBytes = 0; // of the files completed, on the writer's thread
    qint64 m_currentBytes = 0;
    qint64 m_lastReport = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_counter;
};

} // namespace norvex::service
