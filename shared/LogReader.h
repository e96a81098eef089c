#pragma once

#include "shared/mlb2.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <map>

namespace norvex::shared {

// What one reload did.
struct LogReloadResult
{
    int files = 0;        // day files that contributed entries
    int filesRead = 0;    // day files read from disk (the others came from the cache)
    bool changed = false; // false: the table was left exactly as the previous reload left it
};

// The viewer's reading of the Log folder, kept between reloads: a day file is read again only
// when its size, modification time or identity changed, so a refresh over a long history
// costs a folder listing and one stat per file.
class LogReader
{
public:
    // Fills `log` with the entries of the day files (yyyymmdd.log) whose name is not lower
    // than `bound`, newest first by logdate; the table gets the four log fields. A file
    // that cannot be opened now adds nothing and is tried again next time; a file whose
    // header is not the log header adds nothing. The last line of a file is taken only
    // once it is complete (ends with a line break), so an entry being appended at that
    // moment is never shown torn: it comes with the next reload.
    // `beforeChange` runs just before the table is changed (not at all when it stays as it
    // was), so a view over the table can announce the change.
    LogReloadResult reload(TMlb2 &log, const QString &installFolder, const QString &bound,
                           const std::function<void()> &beforeChange = {});

    // Forgets every file read.
    void clear();

private:
    struct Stamp
    {
        qint64 size = -1;
        qint64 modified = 0; // ns
        qint64 changed = 0;  // ns, status change
        quint64 inode = 0;
        quint64 device = 0;
        bool operator==(const Stamp &) const = default;
    };
    struct DayFile
    {
        Stamp stamp;
        bool usable = false; // the log header; entries sorted newest first
        TMlb2 entries;
    };
    enum class Read { Usable, OtherHeader, Unreadable };

    static Read readDayFile(const QString &path, DayFile &file);

    QString m_folder;
    std::map<QString, DayFile> m_files; // by file name
    // What the table was last filled from, to leave it alone when nothing changed.
    std::vector<std::pair<QString, Stamp>> m_shown;
    int m_shownCount = -1;
};

// The four field names of the log header, in order.
const QStringList &logFieldNames();
// True for a day file name: eight digits and ".log".
bool isDayLogName(const QString &name);

} // namespace norvex::shared
