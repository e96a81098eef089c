#include "shared/LogReader.h"

#include "platform/FileIo.h"
#include "shared/EventLog.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::shared {

namespace {

constexpr int LogDatePosition = 2;

qint64 nanoseconds(const struct timespec &t)
{
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool hasLogFields(const TMlb2 &table)
{
    const QStringList &names = logFieldNames();
    if (table.FieldCount() != names.size())
        return false;
    for (int i = 0; i < names.size(); ++i) {
        if (table.FieldName(i + 1) != names[i])
            return false;
    }
    return true;
}

} // namespace

const QStringList &logFieldNames()
{
    static const QStringList names{QStringLiteral("logcategory"), QStringLiteral("logdate"),
                                   QStringLiteral("logtext"), QStringLiteral("logtextadd")};
    return names;
}

bool isDayLogName(const QString &name)
{
    if (name.size() != 12 || !name.endsWith(QLatin1String(".log")))
        return false;
    for (int i = 0; i < 8; ++i) {
        if (name[i] < QLatin1Char('0') || name[i] > QLatin1Char('9'))
            return false;
    }
    return true;
}

LogReader::Read LogReader::readDayFile(const QString &path, DayFile &file)
{
    file.usable = false;
    file.entries.ClearTable();
    // Non-blocking: a FIFO under a day file's name must not hang the window.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return Read::Unreadable;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Read::Unreadable;
    }
    // The stamp is taken before reading: a file that grows meanwhile looks changed next time.
    file.stamp = {qint64(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim),
                  quint64(st.st_ino), quint64(st.st_dev)};
    QByteArray data;
    data.reserve(qsizetype(st.st_size) + 1);
    const bool read = platform::readAll(fd, data);
    ::close(fd);
    if (!read)
        return Read::Unreadable;
    // Only whole lines: the writer's append may be visible in part at this moment.
    data.truncate(data.lastIndexOf('\n') + 1);
    setupLogTable(file.entries);
    file.entries.LoadFromData(data);
    if (!hasLogFields(file.entries)) {
        file.entries.ClearTable();
        return Read::OtherHeader;
    }
    file.entries.Sort(logFieldNames()[LogDatePosition - 1], false);
    file.usable = true;
    return Read::Usable;
}

void LogReader::clear()
{
    m_files.clear();
    m_shown.clear();
    m_shownCount = -1;
}

LogReloadResult LogReader::reload(TMlb2 &log, const QString &installFolder, const QString &bound,
                                  const std::function<void()> &beforeChange)
{
    LogReloadResult result;
    if (installFolder != m_folder) {
        clear();
        m_folder = installFolder;
    }
    const QString folder =
        installFolder +
        (installFolder.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) +
        QStringLiteral("Log/");
    const QStringList names = listLogFolder(installFolder);

    // Files that are gone leave the cache.
    for (auto it = m_files.begin(); it != m_files.end();) {
        if (std::binary_search(names.begin(), names.end(), it->first))
            ++it;
        else
            it = m_files.erase(it);
    }

    std::vector<std::pair<QString, Stamp>> used;
    for (const QString &name : names) {
        if (!logFileInPeriod(name, bound))
            continue;
        const QString path = folder + name;
        struct stat st
        {
        };
        if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
            m_files.erase(name);
            continue;
        }
        const Stamp now{qint64(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim),
                        quint64(st.st_ino), quint64(st.st_dev)};
        auto it = m_files.find(name);
        if (it == m_files.end() || !(it->second.stamp == now)) {
            DayFile &file = m_files[name];
            ++result.filesRead;
            if (readDayFile(path, file) == Read::Unreadable) {
                // Not remembered, so the next reload tries again.
                m_files.erase(name);
                continue;
            }
            it = m_files.find(name);
        }
        if (it->second.usable)
            used.emplace_back(name, it->second.stamp);
    }
    result.files = int(used.size());

    if (used == m_shown && log.RecordCount() == m_shownCount && hasLogFields(log)) {
        log.First();
        return result;
    }

    if (beforeChange)
        beforeChange();
    log.ClearRecords();
    if (!hasLogFields(log)) {
        log.ClearTable();
        for (const QString &field : logFieldNames())
            log.AddField(field);
    }
    // Day files newest first, each already newest first inside: the whole is in order
    // unless a file holds entries of another day than its name, which a full sort mends.
    bool ordered = true;
    const TMlb2 *previous = nullptr;
    for (auto it = used.rbegin(); it != used.rend(); ++it) {
        const TMlb2 &entries = m_files.at(it->first).entries;
        if (entries.RecordCount() == 0)
            continue;
        if (previous &&
            TMlb2::CompareValues(previous->Cell(LogDatePosition, previous->RecordCount()),
                                 entries.Cell(LogDatePosition, 1)) < 0)
            ordered = false;
        log.AppendRecords(entries);
        previous = &entries;
    }
    if (!ordered)
        log.Sort(logFieldNames()[LogDatePosition - 1], false);
    log.First();
    m_shown = std::move(used);
    m_shownCount = log.RecordCount();
    result.changed = true;
    return result;
}

} // namespace norvex::shared
