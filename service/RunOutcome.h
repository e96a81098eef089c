#pragma once

// The rules that turn a run's end, a retry plan and the passing of time into a job's status
// entry, and the texts of the entries they call for. They work on a JobStatus alone, so
// that the run and the scheduler share one version of each rule.

#include "shared/RunStatus.h"

#include <QDateTime>
#include <QString>

namespace norvex::service {

struct RunEnd
{
    shared::RunResult result = shared::RunResult::Unknown;
    QString error; // "<class> : <message>" of the failure, as its error entry has it
    qint64 archiveSize = -1;
    QDateTime started;
    QDateTime ended;
};

// What a run's end means for the person who watches the job.
struct RunEndNews
{
    bool firstFailure = false; // the first failure of a streak: notify, once
    bool recovered = false;    // the first success after failures or a stale alarm
    int failuresBefore = 0;    // failures of the streak that ended
    QDateTime previousSuccess; // the success before this one
};

// Records the end of a run: last start, end, result, error, archive size; a success sets
// lastSuccess, ends the streak (failures, stale alarm) and drops any retry plan; a failure
// counts one more failure. `running` is cleared.
RunEndNews recordRunEnd(shared::JobStatus &status, const RunEnd &end);

// After a failed run (attempt 0: the scheduled run, n: its n-th retry): plans retry
// attempt + 1 at ended + retryDelayMinutes(attempt + 1) when attempt < retryCount and that
// time lies strictly before nextGrid, the job's next run time; otherwise drops the plan.
// True when a retry is planned.
bool planRetry(shared::JobStatus &status, int attempt, int retryCount, const QDateTime &ended,
               const QDateTime &nextGrid);

// The planned retry whose time has come (retryAt not after now), or 0.
int retryDue(const shared::JobStatus &status, const QDateTime &now);

// Gives the stale alarm of the current streak when the job has had no success for two of
// its intervals and the alarm was not given yet. True when it is to be given now.
bool raiseStaleAlarm(shared::JobStatus &status, int interval, QChar unit, const QDateTime &now);

// "\t再試行 1/3 回目": what a retry's start entry adds after its text column.
QString retryStartDetail(int attempt, int retryCount);
// "<name> バックアップ処理を再試行します。\t再試行 1/3 回目は yyyy/MM/dd hh:mm:ss です。"
QString retryPlannedEntry(const QString &name, const shared::JobStatus &status, int retryCount);
// "<name> バックアップが再び成功しました。\t前回のバックアップ成功 ... 以降の失敗 n 回"
QString recoveredEntry(const QString &name, const RunEndNews &news);
// "<name> 前回のバックアップ成功から2回分の間隔を過ぎました。\t前回のバックアップ成功 ..."
QString staleEntry(const QString &name, const shared::JobStatus &status);

} // namespace norvex::service
