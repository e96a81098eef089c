#pragma once

#include "service/Destination.h"
#include "service/Notifier.h"
#include "service/RunOutcome.h"
#include "service/RunStatusStore.h"
#include "shared/Clock.h"
#include "shared/ExcludePatterns.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QThread>

#include <exception>
#include <functional>

namespace norvex::service {

class Scheduler;

// What every run of the service is given.
struct RunSettings
{
    Scheduler *scheduler = nullptr;
    const shared::Clock *clock = nullptr;
    // The temporary folder exactly as configured (TmpFolder or the platform default).
    QString tempFolder;
    // The destination steps by tobackup value: "SFTP", "FTP", "Local".
    QHash<QString, DestinationStep> steps;
    // The hand-over from the archive step to the transfer step.
    int handOverMs = 1000;
    // Tells a person about failures and recoveries; never null in the service.
    Notifier *notifier = nullptr;
    // The run status record; never null in the service.
    RunStatusStore *status = nullptr;
    // 0: the scheduled run; n: its n-th retry (of retryCount, RetryCount when it started).
    int attempt = 0;
    int retryCount = 0;
    // VerifyArchive: the new archive is tested before it is sent.
    bool verifyArchive = true;
    // Test seam, never set in normal operation: called with the archive's path between the
    // archive step and its test, to damage it as a failing disk or memory would.
    std::function<void(const QString &archivePath)> damageArchiveForTest;
};

// One backup run: its own thread, with its own event loop for both halves of the run
// (archive step, then the transfer step after the hand-over), so that a slow transfer
// never holds up ticks or other jobs. The run always ends: whatever fails, it computes and
// saves the next run time, writes the closing entry and empties its run slot. The object
// is released by whoever started it, after finished().
class TBackUpThread : public QThread
{
    Q_OBJECT

public:
    TBackUpThread(RunSettings settings, int jobIndex, QObject *parent = nullptr);
    ~TBackUpThread() override;

    int JobIndex() const { return m_jobIndex; }
    // Set by CreateArc(); read by the transfer step.
    const QString &ArchivePath() const { return m_archivePath; }
    const QDateTime &StartTime() const { return m_startTime; }

protected:
    // Execute: start entry, archive step, hand-over, transfer step, end of the run.
    void run() override;

private:
    // The archive step: packs the sources into the temporary folder. False after any error,
    // whose entry it has written.
    bool CreateArc();
    // The test of the new archive (VerifyArchive). False after a failed test, whose entry
    // it has written; the archive is then kept beside the temporary archives once.
    bool verifyArchive();
    // The transfer step (the transfer timer's event).
    void BackUpTimerTimer();
    bool transfer();
    void endOfRun(shared::RunResult result);
    // The end of the run in the status record (written durably), and the retry plan.
    void recordEnd(shared::RunResult result, const QDateTime &nextGrid);
    // The entries and notifications the end calls for: retry planned, recovered, failed.
    void reportEnd();
    void log(int level, const QString &text) const;
    QString field(const char *name) const;
    JobKey key() const { return {m_jobIndex + 1, m_name}; }
    // Changes this job's entry of the run status record, when there is one.
    void setStatus(const std::function<void(shared::JobStatus &)> &change,
                   RunStatusStore::Write write);
    // Verifying, transferring: bytes of the archive handled, of its size.
    void enterStage(shared::RunStage stage);
    void archiveProgress(qint64 done);

    const RunSettings m_settings;
    const int m_jobIndex;
    QString m_name;
    QString m_archivePath;     // the archive in the temporary folder, under a temporary name
    QString m_archiveFileName; // F, the name it is stored under
    QDateTime m_startTime;
    qint64 m_archiveSize = -1;
    QString m_failure;      // "<class> : <message>" of the failure that ended the run
    QString m_failureEntry; // its error entry, for the notification
    RunEndNews m_news;
    QString m_retryEntry; // the entry of the retry planned at the end, if any
};

// "<class name> : <message>" of a caught error, as error entries print it.
QString errorDetail(const std::exception_ptr &error);

// "hh:mm:ss" of a duration, the remainder of a day (25 h 3 min gives 01:03:00).
QString formatDuration(qint64 msecs);

// The archive size entry's number: bytes / 1000 grouped by three with ",", no digits for
// 0, then " KB" ("1,234 KB", " KB").
QString formatKilobytes(qint64 bytes);

// The compression entry's clause for a job with exclude patterns: "除外 ファイル 12 件 フォルダ 3
// 件".
QString formatExcluded(const shared::ExcludeCounts &counts);

} // namespace norvex::service
