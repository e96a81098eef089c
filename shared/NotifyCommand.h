#pragma once

// The user's notification command (setting NotifyCommand): the service runs it on a failure,
// a stale alarm and a recovery; the options page runs it from its test button.

#include <QString>
#include <QStringList>

#include <atomic>

namespace norvex::shared {

// Event names the command receives in NORVEX_EVENT.
inline constexpr char NotifyFailed[] = "failed";
inline constexpr char NotifyStale[] = "stale";
inline constexpr char NotifyRecovered[] = "recovered";
inline constexpr char NotifyTest[] = "test";

inline constexpr int NotifyCommandTimeoutMs = 60000;

// The words of a command line as a POSIX shell splits them, without expanding anything:
// blanks separate words; single quotes keep everything up to the next single quote; double
// quotes keep everything but a backslash before ", \\, $ or `; a backslash outside quotes
// keeps the next character. False (and no words) when a quote is not closed.
bool splitNotifyCommand(const QString &command, QStringList &words);

// Runs `command` without a shell: it is split into words as a shell would split them (single
// and double quotes group, nothing is expanded), the first word is the program (searched in
// PATH). Its environment is the caller's plus NORVEX_JOB, NORVEX_EVENT and NORVEX_TEXT; its
// standard input is empty. It runs in a process group of its own, and a command still
// running after timeoutMs, or when *cancel becomes true, is killed with everything it
// started (a script's mail or curl child included). Returns empty on success (exit code 0),
// otherwise why it failed, in Japanese, with the end of what the command wrote to standard
// error. Blocks the calling thread.
QString runNotifyCommand(const QString &command, const QString &job, const QString &event,
                         const QString &text, int timeoutMs = NotifyCommandTimeoutMs,
                         const std::atomic<bool> *cancel = nullptr);

} // namespace norvex::shared
