#pragma once

#include <QChar>
#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTime>

namespace norvex::shared {

// The job table file in the installation folder.
inline constexpr char JobTableFileName[] = "backuplist.csv";

// The 19 field names in the order of a new file's header ("backupname" first).
const QStringList &jobFieldNames();

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
