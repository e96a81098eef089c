#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace norvex::shared {

class TMlb2;

// Levels of WriteLog.
inline constexpr int LogInformation = 50; // "I"
inline constexpr int LogWarning = 90;     // "W"
inline constexpr int LogError = 99;       // "E"

// The first line of every day file (tab-separated).
QString logHeaderLine();

// Appends one entry to installFolder + "Log/yyyyMMdd.log" of the current local date. Any
// other level writes nothing. Line breaks (CR LF, CR, LF) are stored as backslash-n; a tab
// separates the text from its additional text. Never raises; an entry that cannot be
// written (Log folder missing, file not writable) is dropped. Appends of all threads of the
// process are serialised, each entry goes out in one write, and the file is open only
// while that entry is written.
void WriteLog(int level, const QString &text);
// The same with an explicit installation folder and time.
void WriteLog(const QString &installFolder, int level, const QString &text, const QDateTime &when);
// When standard error is the systemd journal, WriteLog also writes each entry there as one
// line: "<3>" for E, "<4>" for W, "<6>" for I, then the text as stored.
QByteArray journalLine(QChar category, const QString &text);

// The stored text of an entry text: every line break as backslash-n.
QString logStoredText(const QString &text);
// The display form of a stored text: every backslash-n as CR LF.
QString logTextForDisplay(const QString &stored);
// Day file path for a date.
QString logFilePath(const QString &installFolder, const QDate &day);

// The viewer's period choices and their lower bounds ("yyyyMMdd").
enum class LogPeriod { Today, Past7Days, ThisMonth, All };
// Today: today; Past7Days: 14 days before today; ThisMonth: the first of the month;
// All: "20110901".
QString logPeriodBound(LogPeriod period, const QDate &today);
// A file takes part when its name without extension is not lower than the bound
// (text comparison; there is no upper bound).
bool logFileInPeriod(const QString &fileName, const QString &bound);
// Names of the day files (yyyymmdd.log) in installFolder + "Log/", sorted. Anything else
// there (a readme.txt, a folder of another name) is not a log file. Empty when the folder
// is missing.
QStringList listLogFolder(const QString &installFolder);

// Prepares a table for reading log files: separator tab, quoting off (the writer stores
// quotation marks unchanged and nothing is quoted, so a mark in a text is an ordinary
// character).
void setupLogTable(TMlb2 &table);
// One reload without a cache (LogReader keeps one between reloads): `log` gets the entries
// of every day file in the period, newest first by logdate. Returns the number of files
// that contributed.
int loadLogEntries(TMlb2 &log, const QString &installFolder, const QString &bound);

} // namespace norvex::shared
