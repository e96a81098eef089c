#pragma once

// The service's one holder of the run status record (shared/RunStatus.h): the scheduler
// (main thread) and every run (its own thread) read and change it only here.
//
// What callers may rely on:
//   - Every call is thread-safe and never throws. The file is a copy of what is held in
//     memory; the service decides from memory and never re-reads the file after start().
//   - start(): the file an earlier process left is read; its `running` entries are
//     dropped (that run was abandoned and says nothing), everything else (results, retry
//     plans, stale alarms) is kept; servicePid becomes this process. A missing or damaged
//     file starts an empty record.
//   - matchJobs(): at each load of the job table. An entry belongs to the job at its
//     position with its backupname (findJobStatus: else the only entry of that name); it
//     takes the job's position. A job without one gets an entry with firstSeen = now;
//     entries that no job takes are dropped. Written only when something changed.
//   - update() changes one job's entry (made as by matchJobs when missing) and writes as
//     asked: Throttled only changes memory and writes when a second has passed since the
//     last write (progress); Now writes at once (a new stage); Durable writes and syncs
//     (the end of a run). Every write replaces the file whole, by rename.
//   - A failed write stops nothing: memory stays right and the next write tries again.
//     One error entry is written per streak of failed writes, not one per attempt.

#include "shared/Clock.h"
#include "shared/RunStatus.h"

#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace norvex::service {

// A job as the record knows it: its 1-based row in backuplist.csv and its backupname.
struct JobKey
{
    int position = 0;
    QString name;
};

class RunStatusStore
{
public:
    enum class Write { None, Throttled, Now, Durable };

    // throttleMs: the least time between two Throttled writes.
    RunStatusStore(QString installFolder, const shared::Clock &clock, int throttleMs = 1000);

    void start(qint64 servicePid);
    void matchJobs(const std::vector<JobKey> &jobs);

    // Applies change to the job's entry and returns the entry as changed.
    shared::JobStatus update(const JobKey &job,
                             const std::function<void(shared::JobStatus &)> &change, Write write);
    std::optional<shared::JobStatus> find(const JobKey &job) const;
    shared::RunStatusRecord snapshot() const;
    // Writes made since start (for tests and the benchmark).
    int writeCount() const;

private:
    shared::JobStatus &entryLocked(const JobKey &job);
    void writeLocked(bool durable);

    const QString m_installFolder;
    const shared::Clock &m_clock;
    const int m_throttleMs;

    mutable std::mutex m_lock;
    shared::RunStatusRecord m_record;
    QElapsedTimer m_sinceWrite;
    bool m_writeFailing = false;
    int m_writes = 0;
};

} // namespace norvex::service
