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

// Opens a source file for reading now and describes what was opened. False when it is
// gone or no longer a regular file (nothing is added for it); raises EFOpenError when it
// is there but cannot be opened.
bool openSource(ZipSourceFile &file, const QByteArray &path, bool follow, ZipFileInfo &info);

// One file to deflate into memory, ahead of its turn to be written. The file is opened by
// whichever thread runs the job and closed when it is done, so that the number of open
// source files is bounded by the threads, not by the queue.
struct ZipMemoryJob
{
    QByteArray path;
    bool follow = false; // a source given by name may be a link; a tree's items may not
    TCompressionLevel level = TCompressionLevel::clDefault;
    qint64 limit = 0; // more input than this: give up, the writer streams it instead

    // Results, valid once complete() returned.
    ZipFileInfo info; // of the file as it was read
    bool gone = false;
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
    qint64 size = 0;       // Stream, Memory: the size found by the walk
    ZipMemoryJob job;      // Stream uses job.path and job.follow only
};

} // namespace norvex::archivers
