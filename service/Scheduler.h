#pragma once

#include "shared/Clock.h"
#include "shared/mlb2.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace norvex::service {

class Notifier;
class RunStatusStore;

// The job state the scheduler tick and the runs share: the main job table, and per job
// (by its 0-based row position at the last load) the run slot and the job row copy.
// Every access to the main table goes through one lock, so a tick on the main thread and
// the end of a run on a run's thread never interleave.
class Scheduler
{
public:
    // Creates and starts the run of a job (attempt 0: the scheduled run; n: its n-th retry);
    // the returned run object stays in the job's run slot until endRun(). Called with the
    // lock held, so it must not call back.
    using Launcher = std::function<QObject *(int jobIndex, int attempt)>;

    // status and notifier may be null (no record, no retries, no stale alarm).
    Scheduler(QString installFolder, const shared::Clock &clock, Launcher launcher,
              RunStatusStore *status = nullptr, Notifier *notifier = nullptr);
    ~Scheduler();

    // Start-up: loads backuplist.csv (a file that cannot be opened leaves no jobs), sizes
    // the per-job arrays, makes the job row copies.
    void load();

    // TimBackUpTimer: starts a run for every due job whose slot is empty (a retry planned
    // for it is dropped: the scheduled run takes its place). A job that is not due starts
    // its planned retry once the retry's time has come, and gives its stale alarm when it
    // has had no success for two intervals (once per streak). When no job is due and no
    // run is in progress, reloads the job table and matches the status record to it. A row whose
    // schedule cannot be read is never started, nor a job while another of its name runs; each is
    // reported once in the log (again only after it changed).
    void tick();

    // The next run computation at the end of a run: the first grid point of the job's row
    // copy not before now, written to the row copy and the main table; then backuplist.csv
    // is read again and only this job's backupdt is changed there (the job found at its
    // position with its backupname; otherwise nothing is written), and saved. Returns the
    // new next run time. Raises EConvertError for a schedule it cannot compute and
    // shared::Exception when the file cannot be read or saved; the new time then stays in
    // force over every reload (and is saved again at each) until a save succeeds or the
    // job is changed in the file.
    QDateTime reschedule(int jobIndex);

    // Empties the job's run slot. The run object is not touched.
    void endRun(int jobIndex);

    // The job row copy. Stable while the job's run is in progress (no reload then).
    const shared::TMlb2 &jobRow(int jobIndex) const;

    int jobCount() const;
    bool isRunning(int jobIndex) const;
    bool anyRunning() const;
    // Number of loads that replaced the main table (start-up included).
    int loadCount() const;
    const QString &installFolder() const { return m_installFolder; }

private:
    bool loadLocked();
    void applyPendingRunTimes();
    void rebuildRowCopies();
    void matchRunStatus();
    // The retry and the stale alarm of a job that is not due (with the lock held).
    void tickNotDue(int jobIndex, const QString &name, const QDateTime &now);
    // Logs an error entry for a job that cannot start, once until its text changes.
    void reportOnce(int jobIndex, const QString &text);
    // The index of a running job with this backupname, or -1.
    int runningJobNamed(const QString &name) const;

    const QString m_installFolder;
    const shared::Clock &m_clock;
    const Launcher m_launcher;
    RunStatusStore *const m_status;
    Notifier *const m_notifier;

    mutable std::mutex m_lock;
    shared::TMlb2 m_table;
    std::vector<QObject *> m_slots;
    std::vector<std::unique_ptr<shared::TMlb2>> m_rows;
    std::vector<QString> m_reported; // the last refusal logged per job, to log it once
    // A next run time the file would not take; applied over every reload and saved again
    // at each one until the save succeeds or the job changes in the file.
    struct PendingRunTime
    {
        int jobIndex;
        QString name;      // its backupname at that position
        QString runTime;   // the next run time computed at the end of its run
        QString fileValue; // its backupdt in the file when the save failed
    };
    std::vector<PendingRunTime> m_pending;
    int m_loads = 0;
};

} // namespace norvex::service
