#pragma once

// The job editor's inputs as one value, the checks its OK applies to them and the record it
// writes from them: the window's editor and the command line use these, so both refuse the
// same jobs with the same texts and store the same fields.

#include "shared/JobTable.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace norvex::shared {

class TMlb2;

struct JobInput
{
    QString name;
    QStringList sources;
    QString kind = QStringLiteral("SFTP"); // tobackup: "SFTP", "FTP" or "Local"
    // SFTP and FTP.
    QString host;
    int port = 22;
    QString user;
    QString password;
    QString keyFile; // SFTP
    FtpDataMode ftpMode = FtpDataMode::Passive;
    FtpSecurity ftpSecurity = FtpSecurity::None;
    QString localFolder; // Local
    int interval = 1;    // 1 to 23
    QString unit = QStringLiteral("d");
    QDateTime start;
    // A changed job's next run time as loaded: while start still equals it, the record keeps
    // what the file holds (the service may have moved it meanwhile). Invalid for a new job.
    QDateTime loadedStart;
    bool createFolder = false;
    QString folderName;
    bool archivePasswordOn = false; // 7z only
    QString archivePassword;
    bool generationsOn = false;
    int generations = 2; // 2 to 7
    bool sevenZip = false;
    // The exclude patterns as typed, one a line; blank lines are dropped when written.
    QStringList excludes;
};

// The input a problem concerns, for the editor's focus.
enum class JobInputField {
    Name,
    Sources,
    LocalFolder,
    Host,
    User,
    Password,
    FolderName,
    ArchivePassword,
    Excludes
};

struct JobProblem
{
    QString text;
    JobInputField field;
};

// "同じバックアップ名称がすでに存在します。": refused by the checks, and again by a save that
// finds the name taken by another writer's job.
QString duplicateJobNameText();

// Whether a job of `table` other than the one being changed has `name`. `loadedName` is the
// changed job's name as loaded, empty for a new job.
bool jobNameTaken(const TMlb2 &table, const QString &name, const QString &loadedName);

// The first problem of the input in the editor's order, or none.
std::optional<JobProblem> jobInputProblem(const JobInput &input,
                                          const std::function<bool(const QString &)> &nameTaken);

// Writes the input into the table's current record. Of the destination fields only the
// chosen kind's are written, so a changed job keeps the other kinds' values.
void writeJobInput(TMlb2 &job, const JobInput &input);

// The current record as input; raises EConvertError for a stored number, date or FTP
// choice that does not convert. loadedStart is the stored next run time.
JobInput readJobInput(const TMlb2 &job);

// A new job's first run as the editor proposes it: `interval` hours ahead at the full hour,
// or `interval` days ahead at 04:00.
QDateTime defaultStartTime(const QDateTime &now, int interval, const QString &unit);

// Run now: moves the current record's backupdt to the latest point of its interval grid that
// is not later than `now`, so the service starts the job at its next tick and the grid keeps
// its phase. Raises an Exception when the stored schedule does not compute.
void moveToRunNow(TMlb2 &job, const QDateTime &now);

} // namespace norvex::shared
