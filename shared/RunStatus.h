#pragma once

// The run status record: what the service knows of each job's runs, so that the window, the
// command line and the service itself (retries, the stale alarm) judge a job from one place
// instead of from log lines.
//
// What callers may rely on:
//   - One file, installFolder + "runstatus.json", written by the service only, always whole
//     and by rename (mode 0600): a reader sees the previous record or the next, never a torn
//     one. While a run is in progress it is rewritten at most about once a second without
//     fsync; the end of a run syncs it.
//   - Reading never fails: a missing, unreadable or damaged file reads as an empty record,
//     which means "unknown", and a damaged job entry is skipped. Nothing stops a run or
//     the window because of this file.
//   - A job's entry belongs to the job at its 1-based position with its backupname, as the
//     service's end-of-run write finds its job. A job that moved (one above it was deleted)
//     keeps its entry as long as no other job has its name; a renamed or deleted job's entry
//     no longer matches and the service drops it at its next write.
//   - `running` is there only while a run is in progress in the service whose process id is
//     servicePid; an entry left by a service that died says nothing (runIsLive()).
//   - Times are local wall-clock times "yyyy/MM/dd hh:mm:ss", as in the job table.
// The format is documented in docs/shared-records.md; unknown keys are ignored.

#include <QByteArray>
#include <QChar>
#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace norvex::shared {

inline constexpr char RunStatusFileName[] = "runstatus.json";

enum class RunResult { Unknown, Success, ArchiveFailed, TransferFailed };
// The stage of a run in progress. Verifying covers both the test of the new archive and
// the size check of the stored copy.
enum class RunStage { Compressing, Verifying, Transferring };

struct RunProgress
{
    RunStage stage = RunStage::Compressing;
    QDateTime started;
    int attempt = 0; // 0: the scheduled run; n: its n-th retry
    // Compressing: sources done of their total (-1 while the total is not known).
    qint64 filesDone = 0;
    qint64 filesTotal = -1;
    qint64 bytesDone = 0;
    qint64 bytesTotal = -1;
    // Verifying and transferring: bytes of the archive handled, of its size.
    qint64 archiveDone = 0;
    qint64 archiveSize = -1;
};

struct JobStatus
{
    int position = 0; // 1-based row of backuplist.csv
    QString backupName;
    QDateTime firstSeen; // first time the service saw the job: "never succeeded" counts from it
    QDateTime lastStart;
    QDateTime lastEnd;
    RunResult lastResult = RunResult::Unknown;
    QString lastError;       // "<class> : <message>" of the failure, as the error entry has it
    qint64 archiveSize = -1; // the last run's archive
    QDateTime lastSuccess;
    int failuresSinceSuccess = 0;
    bool staleAlarmed = false; // the stale alarm of the current streak has been given
    int retryAttempt = 0;      // the retry that waits (1 to RetryCount); 0: none
    QDateTime retryAt;
    std::optional<RunProgress> running;

    bool lastFailed() const
    {
        return lastResult == RunResult::ArchiveFailed || lastResult == RunResult::TransferFailed;
    }
};

struct RunStatusRecord
{
    qint64 servicePid = 0;
    QDateTime written;
    std::vector<JobStatus> jobs;
};

QString runStatusPath(const QString &installFolder);

QByteArray encodeRunStatus(const RunStatusRecord &record);
// Anything that is not a record gives an empty one; entries without a position or a name
// are skipped.
RunStatusRecord decodeRunStatus(const QByteArray &data);

RunStatusRecord readRunStatus(const QString &installFolder);
// Durable: fsync the file and its folder (the end of a run); otherwise rename only.
bool writeRunStatus(const QString &installFolder, const RunStatusRecord &record, bool durable,
                    QString *error = nullptr);

// The entry of the job at `position` with `name`: the one with both, else the only entry
// with that name. Null when there is none.
const JobStatus *findJobStatus(const RunStatusRecord &record, int position, const QString &name);
JobStatus *findJobStatus(RunStatusRecord &record, int position, const QString &name);

// Whether the record's runs are those of a live service (its process still exists).
bool runIsLive(const RunStatusRecord &record);

// The moment a job becomes stale: two of its intervals after its last success, or after
// it was first seen when it never succeeded. Invalid when neither time is known or the
// interval is unusable (below 1, unit other than "h" and "d").
QDateTime staleFrom(const JobStatus &status, int interval, QChar unit);
bool isStale(const JobStatus &status, int interval, QChar unit, const QDateTime &now);

// The wait before retry `attempt` (1-based): 5, 15, 45 minutes, each three times the last.
int retryDelayMinutes(int attempt);

// Texts of the window and the command line.
// "正常終了", "異常終了（圧縮）", "異常終了（転送）"; empty for Unknown.
QString runResultText(RunResult result);
// "圧縮中", "検査中", "転送中".
QString runStageText(RunStage stage);

} // namespace norvex::shared
