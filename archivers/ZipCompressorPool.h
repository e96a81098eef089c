#pragma once

#include "archivers/CompressionStream.h"
#include "archivers/ZipFileSystem.h"

#include <QByteArray>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace norvex::archivers {

// One file to deflate into memory, ahead of its turn to be written.
struct ZipMemoryJob
{
    std::unique_ptr<ZipSourceFile> file;
    QByteArray path;
    TCompressionLevel level = TCompressionLevel::clDefault;
    qint64 limit = 0; // more input than this: give up, the writer streams it instead

    // Results, valid once complete() returned.
    QByteArray data; // raw deflate
    quint32 crc32 = 0;
    qint64 consumed = 0;
    bool tooLarge = false;
    std::exception_ptr error;

private:
    friend class ZipCompressorPool;
    enum class State { Queued, Taken, Done } state = State::Queued;
};

// Worker threads that deflate small files into memory while the writer is busy with
// earlier entries. The writer keeps the entry order: it waits for (or itself runs) the job
// at the head of its queue. The bytes produced are the same whichever thread runs a job.
class ZipCompressorPool
{
public:
    explicit ZipCompressorPool(int threads);
    ZipCompressorPool(const ZipCompressorPool &) = delete;
    ZipCompressorPool &operator=(const ZipCompressorPool &) = delete;
    // Stops the workers after their current job; queued jobs are dropped.
    ~ZipCompressorPool();

    int threads() const { return int(m_threads.size()); }
    // The job must stay alive until complete() returned or the pool is destroyed.
    void submit(ZipMemoryJob *job);
    // Returns when the job is done: runs it here when no worker took it yet, else helps
    // with other queued jobs while it waits.
    void complete(ZipMemoryJob *job);

private:
    struct Tools
    {
        ZlibDeflater deflater;
        std::vector<char> input;
    };
    void work();
    ZipMemoryJob *takeLocked();
    static void run(ZipMemoryJob &job, Tools &tools);

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<ZipMemoryJob *> m_queue;
    bool m_stop = false;
    std::vector<std::thread> m_threads;
    Tools m_callerTools;
};

} // namespace norvex::archivers

namespace norvex::archivers {

// An entry decided (name, slot, order) but not written yet.
struct ZipPendingWrite
{
    enum class Kind { Folder, Bytes, Stream, Memory } kind = Kind::Folder;
    qsizetype slot = -1;
    QByteArray storedPath; // for OnAddItem; empty for folder entries
    QByteArray bytes;      // Bytes: the data (a link's target)
    qint64 size = 0;       // Stream, Memory: the size found when opened
    ZipMemoryJob job;      // Stream uses job.file and job.path only
};

} // namespace norvex::archivers
