#pragma once

// Settings of section "Option" in Norvex.ini beside TmpFolder. Each is read with its default
// when it is missing or cannot be read, so an older file reads as before.

#include <QString>

namespace norvex::shared {

class TIniFileCompo;

inline constexpr char OptionSection[] = "Option";
// How often a failed run is tried again before the job's next grid time: 0 to 5, default 3.
inline constexpr char RetryCountKey[] = "RetryCount";
inline constexpr int DefaultRetryCount = 3;
inline constexpr int MaxRetryCount = 5;
// Whether a new archive is read back and checked before it is sent: on by default.
inline constexpr char VerifyArchiveKey[] = "VerifyArchive";
// The command run on a failure, a stale alarm and a recovery; empty for none.
inline constexpr char NotifyCommandKey[] = "NotifyCommand";

int readRetryCount(const TIniFileCompo &ini);
bool readVerifyArchive(const TIniFileCompo &ini);
QString readNotifyCommand(const TIniFileCompo &ini);

} // namespace norvex::shared
