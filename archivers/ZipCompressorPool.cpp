#include "archivers/ZipCompressorPool.h"

#include "archivers/FileErrors.h"
#include "archivers/ZipCrc32.h"
#include "archivers/ZipOutput.h"

#include "platform/Paths.h"

#include <QBuffer>
#include <QFile>
#include <algorithm>
#include <cerrno>

namespace norvex::archivers {

namespace {
constexpr qint64 InputBlock = 1 << 20;
}

bool openSource(ZipSourceFile &file, const QByteArray &path, bool follow, ZipFileInfo &info)
{
    if (!file.open(path, follow)) {
        const int error = errno;
        // Gone since the walk, or replaced by a link inside a tree.
        if (error == ENOENT || error == ENOTDIR || error == ELOOP)
            return false;
        throw EFOpenError(QFile::decodeName(path));
    }
    if (!file.info(info))
        throw EFOpenError(QFile::decodeName(path));
    // A FIFO or device put in its place is never read.
    return info.isRegular();
}

ZipCompressorPool::ZipCompressorPool(int threads)
{
    for (int i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { work(); });
}

ZipCompressorPool::~ZipCompressorPool()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    for (std::thread &t : m_threads)
        t.join();
}

void ZipCompressorPool::submit(ZipMemoryJob *job)
{
    {
        std::lock_guard lock(m_mutex);
        job->state = ZipMemoryJob::State::Queued;
        m_queue.push_back(job);
    }
    m_wake.notify_one();
}

ZipMemoryJob *ZipCompressorPool::takeLocked()
{
    if (m_queue.empty())
        return nullptr;
    ZipMemoryJob *job = m_queue.front();
    m_queue.pop_front();
    job->state = ZipMemoryJob::State::Taken;
    return job;
}

void ZipCompressorPool::complete(ZipMemoryJob *job)
{
    std::unique_lock lock(m_mutex);
    while (job->state != ZipMemoryJob::State::Done) {
        ZipMemoryJob *mine = nullptr;
        if (job->state == ZipMemoryJob::State::Queued) {
            m_queue.erase(std::find(m_queue.begin(), m_queue.end(), job));
            job->state = ZipMemoryJob::State::Taken;
            mine = job;
        } else {
            mine = takeLocked();
        }
        if (!mine) {
            m_done.wait(lock);
            continue;
        }
        lock.unlock();
        run(*mine, m_callerTools);
        lock.lock();
        mine->state = ZipMemoryJob::State::Done;
        m_done.notify_all();
    }
}

void ZipCompressorPool::work()
{
    Tools tools;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_stop)
            return;
        ZipMemoryJob *job = takeLocked();
        lock.unlock();
        run(*job, tools);
        lock.lock();
        job->state = ZipMemoryJob::State::Done;
        m_done.notify_all();
    }
}

void ZipCompressorPool::run(ZipMemoryJob &job, Tools &tools)
{
    // Nothing may leave a worker thread: failures travel with the job to the writer.
    try {
        if (tools.input.empty())
            tools.input.resize(std::size_t(InputBlock));
        ZipSourceFile file;
        if (!openSource(file, job.path, job.follow, job.info)) {
            job.gone = true;
            return;
        }
        QBuffer sink(&job.data);
        sink.open(QIODevice::WriteOnly);
        ZipOutput out(sink, 65536);
        ZipCrc32 crc;
        TCompressionStream stream(job.level, out, &tools.deflater);
        for (;;) {
            const qint64 n = file.read(tools.input.data(), InputBlock);
            if (n < 0)
                throw EOSError(QStringLiteral("Cannot read ") + QFile::decodeName(job.path) +
                               QStringLiteral(": ") + norvex::platform::systemErrorText(errno));
            if (n == 0)
                break;
            crc.update(tools.input.data(), std::size_t(n));
            stream.Write(tools.input.data(), n);
            if (stream.consumed() > job.limit) {
                job.tooLarge = true;
                break;
            }
        }
        if (!job.tooLarge) {
            stream.finish();
            out.flush();
            job.crc32 = crc.value();
            job.consumed = stream.consumed();
        } else {
            job.data.clear();
        }
    } catch (...) {
        job.error = std::current_exception();
    }
}

} // namespace norvex::archivers
