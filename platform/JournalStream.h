#pragma once

#include <QByteArray>

namespace norvex::platform {

// True when standard error is the systemd journal: systemd names the stream it connects in
// JOURNAL_STREAM ("device:inode"). A terminal, the window's pipe or a test's file is not,
// even when the variable was inherited from a service further up.
bool stderrIsJournal();

// Whether journalStream ("device:inode", decimal) names the file open on fd.
bool fdMatchesJournalStream(int fd, const QByteArray &journalStream);

} // namespace norvex::platform
