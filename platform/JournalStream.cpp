#include "platform/JournalStream.h"

#include <QList>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::platform {

bool fdMatchesJournalStream(int fd, const QByteArray &journalStream)
{
    const QList<QByteArray> parts = journalStream.split(':');
    if (parts.size() != 2)
        return false;
    bool devOk = false;
    bool inoOk = false;
    const qulonglong dev = parts[0].toULongLong(&devOk);
    const qulonglong ino = parts[1].toULongLong(&inoOk);
    if (!devOk || !inoOk)
        return false;
    struct stat st = {};
    if (::fstat(fd, &st) != 0)
        return false;
    return qulonglong(st.st_dev) == dev && qulonglong(st.st_ino) == ino;
}

bool stderrIsJournal()
{
    // Asked at every entry: cheap beside the entry's own file write, and right after a
    // test points standard error elsewhere.
    const char *value = std::getenv("JOURNAL_STREAM");
    return value && fdMatchesJournalStream(STDERR_FILENO, QByteArray(value));
}

} // namespace norvex::platform
