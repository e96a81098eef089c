#include "service/RunStatusStore.h"

#include "shared/EventLog.h"

namespace norvex::service {

RunStatusStore::RunStatusStore(QString installFolder, const shared::Clock &clock, int throttleMs)
    : m_installFolder(std::move(installFolder)), m_clock(clock), m_throttleMs(throttleMs)
{
}

void RunStatusStore::start(qint64 servicePid)
{
    std::lock_guard guard(m_lock);
    m_record = shared::readRunStatus(m_installFolder);
    for (shared::JobStatus &s : m_record.jobs)
        s.running.reset();
    m_record.servicePid = servicePid;
    writeLocked(false);
}

void RunStatusStore::matchJobs(const std::vector<JobKey> &jobs)
{
    std::lock_guard guard(m_lock);
    std::vector<shared::JobStatus> matched;
    matched.reserve(jobs.size());
    std::vector<bool> taken(m_record.jobs.size(), false);
    bool changed = m_record.jobs.size() != jobs.size();
    for (const JobKey &job : jobs) {
        const shared::JobStatus *found = shared::findJobStatus(m_record, job.position, job.name);
        const std::size_t at = found ? std::size_t(found - m_record.jobs.data()) : taken.size();
        // Two jobs of one name (a table edited by hand) never share an entry.
        if (at < taken.size() && !taken[at]) {
            taken[at] = true;
            matched.push_back(*found);
            changed = changed || found->position != job.position || at != matched.size() - 1;
            matched.back().position = job.position;
        } else {
            shared::JobStatus fresh;
            fresh.position = job.position;
            fresh.backupName = job.name;
            fresh.firstSeen = m_clock.now();
            matched.push_back(std::move(fresh));
            changed = true;
        }
    }
    m_record.jobs = std::move(matched);
    if (changed)
        writeLocked(false);
}

shared::JobStatus &RunStatusStore::entryLocked(const JobKey &job)
{
    for (shared::JobStatus &s : m_record.jobs)
        if (s.position == job.position && s.backupName == job.name)
            return s;
    shared::JobStatus fresh;
    fresh.position = job.position;
    fresh.backupName = job.name;
    fresh.firstSeen = m_clock.now();
    m_record.jobs.push_back(std::move(fresh));
    return m_record.jobs.back();
}

shared::JobStatus RunStatusStore::update(const JobKey &job,
                                         const std::function<void(shared::JobStatus &)> &change,
                                         Write write)
{
    std::lock_guard guard(m_lock);
    shared::JobStatus &entry = entryLocked(job);
    if (change)
        change(entry);
    const shared::JobStatus result = entry;
    switch (write) {
    case Write::None:
        break;
    case Write::Throttled:
        if (!m_sinceWrite.isValid() || m_sinceWrite.elapsed() >= m_throttleMs)
            writeLocked(false);
        break;
    case Write::Now:
        writeLocked(false);
        break;
    case Write::Durable:
        writeLocked(true);
        break;
    }
    return result;
}

std::optional<shared::JobStatus> RunStatusStore::find(const JobKey &job) const
{
    std::lock_guard guard(m_lock);
    for (const shared::JobStatus &s : m_record.jobs)
        if (s.position == job.position && s.backupName == job.name)
            return s;
    return std::nullopt;
}

shared::RunStatusRecord RunStatusStore::snapshot() const
{
    std::lock_guard guard(m_lock);
    return m_record;
}

int RunStatusStore::writeCount() const
{
    std::lock_guard guard(m_lock);
    return m_writes;
}

void RunStatusStore::writeLocked(bool durable)
{
    m_record.written = m_clock.now();
    m_sinceWrite.start();
    QString error;
    if (shared::writeRunStatus(m_installFolder, m_record, durable, &error)) {
        ++m_writes;
        m_writeFailing = false;
        return;
    }
    if (m_writeFailing)
        return;
    m_writeFailing = true;
    shared::WriteLog(m_installFolder, shared::LogError,
                     QStringLiteral("実行状況ファイル %1 を保存できませんでした。\t%2")
                         .arg(shared::runStatusPath(m_installFolder), error),
                     QDateTime::currentDateTime());
}

} // namespace norvex::service
