#include "service/Scheduler.h"

#include "service/Notifier.h"
#include "service/RunOutcome.h"
#include "service/RunStatusStore.h"
#include "shared/EventLog.h"
#include "shared/Exception.h"
#include "shared/JobTable.h"

namespace norvex::service {

namespace {

const QString kBackupName = QStringLiteral("backupname");
const QString kBackupDt = QStringLiteral("backupdt");
const QString kBackupInt = QStringLiteral("backupint");
const QString kBackupTani = QStringLiteral("backuptani");

} // namespace

Scheduler::Scheduler(QString installFolder, const shared::Clock &clock, Launcher launcher,
                     RunStatusStore *status, Notifier *notifier)
    : m_installFolder(std::move(installFolder)), m_clock(clock), m_launcher(std::move(launcher)),
      m_status(status), m_notifier(notifier)
{
    shared::setupJobTable(m_table);
}

Scheduler::~Scheduler() = default;

void Scheduler::load()
{
    std::lock_guard guard(m_lock);
    if (!loadLocked()) {
        // Start-up with no readable file: no jobs; later ticks try again.
        m_table.ClearTable();
        rebuildRowCopies();
    }
}

bool Scheduler::loadLocked()
{
    if (!m_table.LoadFromFile(shared::jobTablePath(m_installFolder)))
        return false;
    ++m_loads;
    applyPendingRunTimes();
    rebuildRowCopies();
    matchRunStatus();
    return true;
}

void Scheduler::matchRunStatus()
{
    // Only a table that was read: one that could not be would drop every job's history.
    if (!m_status)
        return;
    std::vector<JobKey> jobs;
    jobs.reserve(m_rows.size());
    for (int i = 0; i < int(m_rows.size()); ++i)
        jobs.push_back({i + 1, m_rows[i]->FieldByName(kBackupName)});
    m_status->matchJobs(jobs);
}

void Scheduler::tickNotDue(int jobIndex, const QString &name, const QDateTime &now)
{
    if (!m_status || m_slots[jobIndex])
        return;
    const JobKey key{jobIndex + 1, name};
    const std::optional<shared::JobStatus> status = m_status->find(key);
    if (!status)
        return;
    if (const int attempt = retryDue(*status, now)) {
        // The plan stays until the retry ends, so a retry cut short by a stop runs again.
        if (runningJobNamed(name) < 0)
            m_slots[jobIndex] = m_launcher(jobIndex, attempt);
        return;
    }
    // Between runs only: a due or running job is about to tell more than an alarm would.
    const QString unit = m_table.FieldByName(kBackupTani);
    const int interval = m_table.FieldByName(kBackupInt).toInt();
    shared::JobStatus alarmed = *status;
    if (!raiseStaleAlarm(alarmed, interval, unit.size() == 1 ? unit.at(0) : QChar(), now))
        return;
    m_status->update(
        key, [](shared::JobStatus &s) { s.staleAlarmed = true; }, RunStatusStore::Write::Durable);
    const QString text = staleEntry(name, alarmed);
    shared::WriteLog(m_installFolder, shared::LogError, text, QDateTime::currentDateTime());
    if (m_notifier)
        m_notifier->notify(name, NotifyEvent::Stale, text);
}

void Scheduler::applyPendingRunTimes()
{
    const QString path = shared::jobTablePath(m_installFolder);
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        const bool same = m_table.GoToRecord(it->jobIndex + 1) &&
                          m_table.FieldByName(kBackupName) == it->name &&
                          m_table.FieldByName(kBackupDt) == it->fileValue;
        if (!same) {
            // The job was changed, moved or deleted since: what the file says now wins.
            it = m_pending.erase(it);
            continue;
        }
        m_table.SetFieldByName(kBackupDt, it->runTime);
        shared::TMlb2 file;
        const QString runTime = it->runTime;
        const auto result = shared::changeJobInFile(
            file, path, it->jobIndex + 1, it->name,
            [&runTime](shared::TMlb2 &t) { t.SetFieldByName(kBackupDt, runTime); });
        if (result == shared::JobFileResult::Saved || result == shared::JobFileResult::NotFound)
            it = m_pending.erase(it);
        else
            ++it;
    }
}

void Scheduler::rebuildRowCopies()
{
    const int count = m_table.RecordCount();
    // Loads happen only while no run is in progress, so every slot is empty here.
    m_slots.assign(count, nullptr);
    m_rows.resize(count);
    m_reported.resize(count);
    m_table.First();
    for (int i = 0; !m_table.Eof() && i < count; ++i) {
        auto &copy = m_rows[i];
        if (!copy)
            copy = std::make_unique<shared::TMlb2>();
        copy->ClearTable();
        shared::setupJobTable(*copy);
        copy->AppendRecord();
        for (int j = 1; j <= m_table.FieldCount(); ++j) {
            copy->AddField(m_table.FieldName(j));
            copy->SetFieldByIndex(j, m_table.FieldByIndex(j));
        }
        m_table.Next();
    }
}

void Scheduler::reportOnce(int jobIndex, const QString &text)
{
    QString &last = m_reported[jobIndex];
    if (last == text)
        return;
    last = text;
    shared::WriteLog(m_installFolder, shared::LogError, text, QDateTime::currentDateTime());
}

int Scheduler::runningJobNamed(const QString &name) const
{
    for (int j = 0; j < int(m_slots.size()); ++j)
        if (m_slots[j] && m_rows[j]->FieldByName(kBackupName) == name)
            return j;
    return -1;
}

void Scheduler::tick()
{
    const QDateTime now = m_clock.now();
    std::lock_guard guard(m_lock);

    bool due = false;
    m_table.First();
    for (int i = 0; !m_table.Eof() && i < int(m_slots.size()); ++i, m_table.Next()) {
        const QString name = m_table.FieldByName(kBackupName);
        const QString problem = shared::jobScheduleProblem(m_table);
        if (!problem.isEmpty()) {
            // Never started and never counted as due: a due bad row would block the
            // reload that brings its correction.
            reportOnce(
                i, name +
                       QStringLiteral(" バックアップ設定に誤りがあるため処理を開始できません。\t") +
                       problem);
            continue;
        }
        if (shared::readDateTime(m_table.FieldByName(kBackupDt)) >= now) {
            tickNotDue(i, name, now);
        } else {
            due = true;
            if (!m_slots[i]) {
                // Two runs of one name would build and publish the same archive names.
                const int other = runningJobNamed(name);
                if (other >= 0) {
                    reportOnce(i, name + QStringLiteral(" 同じ名称のバックアップ処理が実行中のため"
                                                        "処理を開始できません。\t"
                                                        "バックアップ設定 %1 行目と %2 行目の"
                                                        "バックアップ名称が同じです。")
                                             .arg(other + 1)
                                             .arg(i + 1));
                    continue;
                }
                m_slots[i] = m_launcher(i, 0);
                if (m_status)
                    m_status->update(
                        {i + 1, name},
                        [](shared::JobStatus &s) {
                            s.retryAttempt = 0;
                            s.retryAt = {};
                        },
                        RunStatusStore::Write::None);
            }
        }
        m_reported[i].clear();
    }
    if (due)
        return;
    for (QObject *slot : m_slots)
        if (slot)
            return; // a run that has rescheduled but not yet ended still reads its row copy
    loadLocked();
}

QDateTime Scheduler::reschedule(int jobIndex)
{
    const QDateTime now = m_clock.now();
    std::lock_guard guard(m_lock);
    shared::TMlb2 &row = *m_rows.at(jobIndex);

    const int n = shared::readInteger(kBackupInt, row.FieldByName(kBackupInt));
    const QString unit = row.FieldByName(kBackupTani);
    const QDateTime t = shared::readDateTime(row.FieldByName(kBackupDt));
    const QDateTime next = shared::nextRunTime(t, n, unit.size() == 1 ? unit.at(0) : QChar(), now);
    const QString text = shared::formatDateTime(next);

    const QString name = row.FieldByName(kBackupName);
    // What the file holds: the row's time as last loaded, unless that was a time kept over
    // the file because it could not be saved.
    QString fileValue = row.FieldByName(kBackupDt);
    for (const PendingRunTime &p : m_pending)
        if (p.jobIndex == jobIndex && p.name == name)
            fileValue = p.fileValue;
    row.SetFieldByName(kBackupDt, text);
    if (m_table.GoToRecord(jobIndex + 1))
        m_table.SetFieldByName(kBackupDt, text);
    std::erase_if(m_pending,
                  [jobIndex](const PendingRunTime &p) { return p.jobIndex == jobIndex; });

    // Whatever the configuration program saved meanwhile stays: only this job's backupdt
    // changes in the file as it is now.
    const QString path = shared::jobTablePath(m_installFolder);
    shared::TMlb2 file;
    QString error;
    const auto result = shared::changeJobInFile(
        file, path, jobIndex + 1, name,
        [&text, &fileValue](shared::TMlb2 &t) {
            fileValue = t.FieldByName(kBackupDt);
            t.SetFieldByName(kBackupDt, text);
        },
        &error);
    if (result == shared::JobFileResult::Unreadable ||
        result == shared::JobFileResult::Unwritable) {
        // Until a save succeeds, every reload would bring back the past time and run the
        // job again (rotating its generations each time): keep the new time over it. It is
        // matched against the value the file really holds; a reload that finds another one
        // takes it as a change made in the file and drops the kept time.
        m_pending.push_back({jobIndex, name, text, fileValue});
        throw shared::Exception(
            QStringLiteral("ジョブ一覧 %1 を保存できませんでした。%2").arg(path, error));
    }
    return next;
}

void Scheduler::endRun(int jobIndex)
{
    std::lock_guard guard(m_lock);
    if (jobIndex >= 0 && jobIndex < int(m_slots.size()))
        m_slots[jobIndex] = nullptr;
}

const shared::TMlb2 &Scheduler::jobRow(int jobIndex) const
{
    std::lock_guard guard(m_lock);
    return *m_rows.at(jobIndex);
}

int Scheduler::jobCount() const
{
    std::lock_guard guard(m_lock);
    return int(m_slots.size());
}

bool Scheduler::isRunning(int jobIndex) const
{
    std::lock_guard guard(m_lock);
    return jobIndex >= 0 && jobIndex < int(m_slots.size()) && m_slots[jobIndex];
}

bool Scheduler::anyRunning() const
{
    std::lock_guard guard(m_lock);
    for (QObject *slot : m_slots)
        if (slot)
            return true;
    return false;
}

int Scheduler::loadCount() const
{
    std::lock_guard guard(m_lock);
    return m_loads;
}

} // namespace norvex::service
