#include "archivers/ZipCompressorPool.h"

#include "archivers/ZipRecords.h"

#include <QBuffer>
#include <QFile>
#include <algorithm>
#include <cmath>
#include <sched.h>
#include <system_error>

namespace norvex::archivers {

namespace {

// The CPU quota of the cgroup v2 this process is in, and of its ancestors: the
// smallest, rounded up; 0 when there is none.
int cgroupCpus()
{
    QFile membership(QStringLiteral("/proc/self/cgroup"));
    if (!membership.open(QIODevice::ReadOnly))
        return 0;
    QByteArray group;
    for (const QByteArray &line : membership.readAll().split('\n'))
        if (line.startsWith("0::"))
            group = line.mid(3).trimmed();
    int least = 0;
    while (!group.isEmpty()) {
        QFile max(QStringLiteral("/sys/fs/cgroup") + QString::fromUtf8(group) +
                  QStringLiteral("/cpu.max"));
        if (max.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> fields = max.readAll().trimmed().split(' ');
            bool quotaOk = false, periodOk = false;
            const double quota = fields.value(0).toDouble(&quotaOk);
            const double period = fields.value(1).toDouble(&periodOk);
            if (quotaOk && periodOk && period > 0) {
                const int cpus = std::max(1, int(std::ceil(quota / period)));
                least = least == 0 ? cpus : std::min(least, cpus);
            }
        }
        const qsizetype slash = group.lastIndexOf('/');
        group = slash <= 0 ? QByteArray() : group.left(slash);
    }
    return least;
}

} // namespace

int zipWorkers()
{
    if (zipLimits().workers > 0)
        return zipLimits().workers;
    int cpus = 1;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0)
        cpus = std::max(1, CPU_COUNT(&set));
    if (const int quota = cgroupCpus(); quota > 0)
        cpus = std::min(cpus, quota);
    return cpus;
}

void ZipMemoryJob::run(ZipDeflateTools &tools)
{
    ZipSourceFile file;
    if (!openSource(file, path, follow, info)) {
        gone = true;
        return;
    }
    ZipFileSource source(file, path, info.size);
    if (level == TCompressionLevel::clMax) {
        result = deflateHeldWhole(source, data, tools, limit);
        if (result.tooLarge)
            data.clear();
        return;
    }
    QBuffer sink(&data);
    sink.open(QIODevice::WriteOnly);
    ZipOutput out(sink, 65536);
    result = deflateWhole(source, out, level, tools, limit);
    if (result.tooLarge)
        data.clear();
    else
        out.flush();
}

void ZipChunkJob::run(ZipDeflateTools &tools)
{
    deflateChunk(chunk, tools);
}

ZipCompressorPool::ZipCompressorPool(int threads)
{
    for (int i = 0; i < threads; ++i) {
        try {
            m_threads.emplace_back([this] { work(); });
        } catch (const std::system_error &) {
            break; // fewer workers; the writer runs what they would have
        }
    }
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

void ZipCompressorPool::submit(ZipJob *job)
{
    {
        std::lock_guard lock(m_mutex);
        job->m_state = ZipJob::State::Queued;
        m_queue.push_back(job);
    }
    m_wake.notify_one();
}

ZipJob *ZipCompressorPool::takeLocked()
{
    if (m_queue.empty())
        return nullptr;
    ZipJob *job = m_queue.front();
    m_queue.pop_front();
    job->m_state = ZipJob::State::Taken;
    return job;
}

void ZipCompressorPool::complete(ZipJob *job)
{
    std::unique_lock lock(m_mutex);
    while (job->m_state != ZipJob::State::Done) {
        ZipJob *mine = nullptr;
        if (job->m_state == ZipJob::State::Queued) {
            m_queue.erase(std::find(m_queue.begin(), m_queue.end(), job));
            job->m_state = ZipJob::State::Taken;
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
        mine->m_state = ZipJob::State::Done;
        m_done.notify_all();
    }
}

void ZipCompressorPool::work()
{
    ZipDeflateTools tools;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_stop)
            return;
        ZipJob *job = takeLocked();
        lock.unlock();
        run(*job, tools);
        lock.lock();
        job->m_state = ZipJob::State::Done;
        m_done.notify_all();
    }
}

void ZipCompressorPool::run(ZipJob &job, ZipDeflateTools &tools)
{
    try {
        job.run(tools);
    } catch (...) {
        job.error = std::current_exception();
    }
}

} // namespace norvex::archivers
