#pragma once

#include "archivers/ZipDeflate.h"

#include <QByteArray>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace norvex::archivers {

// Work for the pool. Nothing may leave a worker thread: a failure travels with the job to
// the writer, which raises it in its turn.
class ZipJob
{
public:
    virtual ~ZipJob() = default;
    std::exception_ptr error;

protected:
    virtual void run(ZipDeflateTools &tools) = 0;

private:
    friend class ZipCompressorPool;
    enum class State { Queued, Taken, Done } m_state = State::Queued;
};

// One small file to deflate whole into memory, ahead of its turn to be written. The file
// is opened by whichever thread runs the job and closed when it is done, so that the
// number of open source files is bounded by the threads, not by the queue.
class ZipMemoryJob : public ZipJob
{
public:
    QByteArray path;
    bool follow = false; // a source given by name may be a link; a tree's items may not
    TCompressionLevel level = TCompressionLevel::clDefault;
    qint64 limit = 0; // more input than this: give up, the writer streams it instead

    // Results, valid once complete() returned.
    ZipFileInfo info; // of the file as it was read
    bool gone = false;
    QByteArray data; // raw deflate
    ZipDeflateResult result;

protected:
    void run(ZipDeflateTools &tools) override;
};

// One chunk of a large file.
class ZipChunkJob : public ZipJob
{
public:
    ZipChunk chunk;

protected:
    void run(ZipDeflateTools &tools) override;
};

// The threads that may deflate at once: the CPUs this process may use (its affinity and
// its cgroup's CPU quota), or zipLimits().workers when set.
int zipWorkers();

// Worker threads that deflate while the writer is busy with earlier entries. The writer
// keeps the entry order: it waits for (or itself runs) the job at the head of its queue,
// so it counts as one of the deflating threads. The bytes produced are the same whichever
// thread runs a job.
class ZipCompressorPool
{
public:
    // Starts up to threads workers; one that cannot be started leaves fewer.
    explicit ZipCompressorPool(int threads);
    ZipCompressorPool(const ZipCompressorPool &) = delete;
    ZipCompressorPool &operator=(const ZipCompressorPool &) = delete;
    // Stops the workers after their current job; queued jobs are dropped.
    ~ZipCompressorPool();

    int threads() const { return int(m_threads.size()); }
    // The job must stay alive until complete() returned or the pool is destroyed.
    void submit(ZipJob *job);
    // Returns when the job is done: runs it here when no worker took it yet, else helps
    // with other queued jobs while it waits.
    void complete(ZipJob *job);
    // The writer's own tools, for what it deflates outside jobs.
    ZipDeflateTools &callerTools() { return m_callerTools; }

private:
    void work();
    ZipJob *takeLocked();
    static void run(ZipJob &job, ZipDeflateTools &tools);

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<ZipJob *> m_queue;
    bool m_stop = false;
    std::vector<std::thread> m_threads;
    ZipDeflateTools m_callerTools;
};

// An entry decided (name, slot, order) but not written yet.
struct ZipPendingWrite
{
    enum class Kind { Folder, Bytes, Stream, Memory } kind = Kind::Folder;
    qsizetype slot = -1;
    QByteArray storedPath; // for OnAddItem; empty for folder entries
    QByteArray bytes;      // Bytes: the data (a link's target)
    qint64 size = 0;       // Stream, Memory: the size found by the walk
    ZipMemoryJob job;      // Stream uses job.path and job.follow only
};

} // namespace norvex::archivers
