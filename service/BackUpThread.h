#pragma once

#include "service/Destination.h"
#include "service/Notifier.h"
#include "shared/Clock.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QThread>

#include <exception>

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
    // The transfer step (the transfer timer's event).
    void BackUpTimerTimer();
    void transfer();
    void endOfRun();
    void log(int level, const QString &text) const;
    QString field(const char *name) const;

    const RunSettings m_settings;
    const int m_jobIndex;
    QString m_name;
    QString m_archivePath;     // the archive in the temporary folder, under a temporary name
    QString m_archiveFileName; // F, the name it is stored under
    QDateTime m_startTime;
};

// "<class name> : <message>" of a caught error, as error entries print it.
QString errorDetail(const std::exception_ptr &error);

// "hh:mm:ss" of a duration, the remainder of a day (25 h 3 min gives 01:03:00).
QString formatDuration(qint64 msecs);

// The archive size entry's number: bytes / 1000 grouped by three with ",", no digits for
// 0, then " KB" ("1,234 KB", " KB").
QString formatKilobytes(qint64 bytes);

} // namespace norvex::service
