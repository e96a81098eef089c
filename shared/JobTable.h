#pragma once

#include <QChar>
#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTime>

#include <functional>

namespace norvex::shared {

class TMlb2;

// The job table file in the installation folder.
inline constexpr char JobTableFileName[] = "backuplist.csv";

// The 19 field names in the order of a new file's header ("backupname" first).
const QStringList &jobFieldNames();

// Fields added after the first 19, each a named column at the end of the header. A table
// without them reads as before; a writer adds the column when it first sets the field.
inline constexpr char FtpModeField[] = "ftpmode";         // "passive" or "active" (empty)
inline constexpr char FtpSecurityField[] = "ftpsecurity"; // "tls" or "none" (empty)

enum class FtpDataMode { Active, Passive };
enum class FtpSecurity { None, ExplicitTls };
// The stored texts of a job's FTP connection. Empty (an older table) reads as active without
// TLS. An unknown text raises EConvertError: a security setting that is not understood must
// never fall back to clear text.
FtpDataMode readFtpMode(const QString &text);
FtpSecurity readFtpSecurity(const QString &text);
QString ftpModeText(FtpDataMode mode);
QString ftpSecurityText(FtpSecurity security);
// Sets a field of the current record, adding the column to the header first when the table
// lacks it (the table then keeps every other column as it was).
bool setJobField(TMlb2 &table, const QString &name, const QString &value);

// Path of the job table in an installation folder (with or without trailing '/').
QString jobTablePath(const QString &installFolder);

// Creates backuplist.csv (quoted header, CR LF, mode 0600) and the Log folder when they are
// missing; an existing file is never touched. True when both exist afterwards.
bool ensureJobTable(const QString &installFolder);

// The source list of `backuplist`: paths joined by single spaces; a path holding a space, a
// control character or a double quotation mark is quoted with inner marks doubled; a list
// of one empty path is "\"\"".
QString encodeSourceList(const QStringList &paths);
// The reverse: spaces and control characters separate; a path starting with a quotation
// mark runs to the matching closing mark ("" stands for one mark). An unclosed quotation
// runs to the end of the text.
QStringList decodeSourceList(const QString &text);

// On/off values are written "-1" and "0".
QString writeOnOff(bool on);

// Sets a table up for the job table: separator ',', the quotation mark as quote character.
void setupJobTable(TMlb2 &table);

// A job name becomes part of a file name in the temporary folder: no '/' and no control
// character.
bool isSafeJobName(const QString &name);

// A job name ending in "-", a digit and "-" would give its archive the name of another job's
// generation: "x-1-" stores Norvex-x-1-.zip, generation 1 of "x". Both programs refuse it.
bool hasGenerationSuffix(const QString &name);

// An on/off field as the programs read it; raises EConvertError for anything readOnOff
// does not take, the empty text included.
bool isOn(const QString &text);

// What keeps the current record of a job table from being scheduled: a backupdt that is no
// date and time, a backupint outside 1 to 99999 or a backuptani other than "h" and "d".
// Empty when the schedule can be used. The text is a log entry's additional text.
QString jobScheduleProblem(const TMlb2 &table);

// The outcome of one change written to the job table file.
enum class JobFileResult {
    Saved,
    NotFound,   // the job is no longer at its position with its name: nothing written
    Unreadable, // the file could not be read: nothing written
    Unwritable, // the file could not be replaced: it is as it was
    Duplicate,  // another job in the file has the backupname: nothing written
};

// One program's change to the job table file, applied to the file as it is now, so that
// whatever the other program saved since this one last loaded stays. The file is read
// into `table` (which then mirrors the file), the change is applied, the whole table is
// saved. A changed or deleted job is found at its 1-based position `recordNumber` with the
// backupname `name` it had when the caller loaded it. On a result other than Saved,
// `error` (when given) names the file and the reason, and `table` holds the file as read
// (or its previous content when the file could not be read).
//
// A job added, or renamed by its change, is refused (Duplicate) when another job in the file
// already has its backupname: two jobs with one name would share their archive's name.
//
// Change: the job becomes the current record and `edit` changes it.
JobFileResult changeJobInFile(TMlb2 &table, const QString &path, int recordNumber,
                              const QString &name, const std::function<void(TMlb2 &)> &edit,
                              QString *error = nullptr);
// Delete: the job's record is deleted.
JobFileResult deleteJobInFile(TMlb2 &table, const QString &path, int recordNumber,
                              const QString &name, QString *error = nullptr);
// Append: a new record is appended at the end, made current and filled by `fill`. A file
// without a header line gets the 19 field names first.
JobFileResult appendJobToFile(TMlb2 &table, const QString &path,
                              const std::function<void(TMlb2 &)> &fill, QString *error = nullptr);

// Readers of stored texts. Each raises EConvertError naming the value when it does not
// convert.
// "-1", "0", any decimal integer (non-zero is on), "True"/"False" in any letter case.
bool readOnOff(const QString &text);
// A decimal integer with an optional sign; fieldName names the field in the message.
int readInteger(const QString &fieldName, const QString &text);
// "yyyy/MM/dd hh:mm:ss" local wall-clock time. A wall-clock time that the local clock
// skips (the hour lost when daylight saving starts) stands for the moment the clock
// reaches after the gap; it still formats back to the stored text (see localWallTime).
QDateTime readDateTime(const QString &text);
// "yyyy/MM/dd hh:mm:ss" of the value's own wall-clock fields (a UTC value is converted to
// local time first).
QString formatDateTime(const QDateTime &when);

// The local date-time for a wall-clock date and time. Where the local clock skips that
// time, the result is the same moment as the first instant after the gap, expressed with
// the offset in force before it, so date() and time() still give the wall-clock values
// asked for and the schedule keeps its phase.
QDateTime localWallTime(const QDate &date, const QTime &time);

// The interval grid of a job: backupdt + k * interval, interval counted in wall-clock hours
// ("h") or calendar days ("d"), so a daily 02:00 job stays at 02:00 across daylight-saving
// changes. Both raise EConvertError for an interval below 1, a unit other than "h" or "d",
// or an invalid date-time. Computed directly, whatever the distance.
//
// After a run: the first of backupdt + step, + 2 step, ... that is not earlier than end.
QDateTime nextRunTime(const QDateTime &backupdt, int interval, QChar unit, const QDateTime &end);
// Run now: the latest of backupdt - step, - 2 step, ... that is not later than now.
QDateTime runNowTime(const QDateTime &backupdt, int interval, QChar unit, const QDateTime &now);

} // namespace norvex::shared
