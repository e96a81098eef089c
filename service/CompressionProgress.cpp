#include "service/CompressionProgress.h"

#include "archivers/QuellZip.h"
#include "archivers/SevenZip.h"
#include "platform/MountTable.h"
#include "shared/ExcludePatterns.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace norvex::service {

namespace {

qint64 monotonicNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Files are counted from the folder listings (their types come with the names); sizes
// need one fstatat per file, which on 100,000 small files costs about 5 % of the archive
// step, so only the first kSizedFiles files are sized. Beyond them the byte total stays
// unknown and the files show the progress; the few large files of a tree of big ones are
// always sized.
constexpr qint64 kSizedFiles = 4096;

class Counter
{
public:
    Counter(const platform::MountTable *mounts, const shared::ExcludePatterns *excludes,
            const std::atomic<bool> &stop)
        : m_mounts(mounts), m_excludes(excludes && !excludes->isEmpty() ? excludes : nullptr),
          m_stop(stop)
    {
    }

    void source(const QByteArray &path)
    {
        struct stat st;
        if (::stat(path.constData(), &st) != 0)
            return;
        if (S_ISDIR(st.st_mode)) {
            m_below.clear();
            const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0)
                folder(fd, st.st_dev);
        } else if (S_ISREG(st.st_mode)) {
            file(st.st_size);
        }
    }

    CompressionFigures result() const
    {
        CompressionFigures f = figures;
        if (m_unsized > 0)
            f.bytesTotal = -1;
        return f;
    }

private:
    void file(qint64 size)
    {
        ++figures.filesTotal;
        figures.bytesTotal += size;
    }

    // Takes fd. Folders are walked through their descriptors: no path strings built.
    void folder(int fd, dev_t device)
    {
        if (m_mounts && m_mounts->virtualFileSystem(quint64(device))) {
            ::close(fd);
            return;
        }
        DIR *dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return;
        }
        while (const dirent *e = ::readdir(dir)) {
            if (m_stop.load(std::memory_order_relaxed))
                break;
            const char *name = e->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            unsigned char type = e->d_type;
            struct stat st;
            const bool sized = type == DT_REG && figures.filesTotal < kSizedFiles;
            const bool looked = type == DT_UNKNOWN || type == DT_DIR || sized;
            if (looked) {
                if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(st.st_mode)   ? DT_DIR
                       : S_ISREG(st.st_mode) ? DT_REG
                       : S_ISLNK(st.st_mode) ? DT_LNK
                                             : DT_UNKNOWN;
            }
            const std::size_t folderLength = m_below.size();
            if (m_excludes && (type == DT_DIR || type == DT_REG || type == DT_LNK)) {
                if (folderLength > 0)
                    m_below += '/';
                m_below += name;
                if (m_excludes->excludes(m_below, type == DT_DIR)) {
                    m_below.resize(folderLength);
                    continue;
                }
            }
            if (type == DT_REG && looked) {
                file(st.st_size);
            } else if (type == DT_REG) {
                ++m_unsized;
                ++figures.filesTotal;
            } else if (type == DT_LNK) {
                ++figures.filesTotal;
            } else if (type == DT_DIR) {
                const int sub =
                    ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0)
                    folder(sub, st.st_dev);
            }
            m_below.resize(folderLength);
        }
        ::closedir(dir);
    }

    CompressionFigures figures{0, 0, 0, 0};
    qint64 m_unsized = 0;
    const platform::MountTable *m_mounts;
    const shared::ExcludePatterns *m_excludes;
    const std::atomic<bool> &m_stop;
    std::string m_below; // the folder's path below its source, while excludes are asked
};

} // namespace

CompressionFigures countSources(const QStringList &sources, const platform::MountTable *mounts,
                                const std::atomic<bool> &stop,
                                const shared::ExcludePatterns *excludes)
{
    Counter counter(mounts, excludes, stop);
    for (const QString &source : sources)
        counter.source(QFile::encodeName(source));
    return counter.result();
}

CompressionProgress::CompressionProgress(Report report, int reportMs)
    : m_report(std::move(report)), m_reportNs(qint64(reportMs) * 1000000)
{
}

CompressionProgress::~CompressionProgress()
{
    m_stop = true;
    if (m_counter.joinable())
        m_counter.join();
}

void CompressionProgress::countInBackground(const QStringList &sources,
                                            const platform::MountTable *mounts,
                                            const shared::ExcludePatterns *excludes)
{
    m_counter = std::thread([this, sources, mounts, excludes] {
        // Only where a core is idle: the totals are worth less than the archive's time.
        sched_param param{};
        pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
        const CompressionFigures total = countSources(sources, mounts, m_stop, excludes);
        if (m_stop)
            return;
        m_bytesTotal = total.bytesTotal;
        m_filesTotal = total.filesTotal;
    });
}

void CompressionProgress::attach(archivers::TQuellZip &zip)
{
    zip.OnCompressFile = [this](archivers::TQuellZip *, qint64 current, qint64) {
        m_currentBytes = current;
        m_bytesDone.store(m_storedBytes + current, std::memory_order_relaxed);
        reportIfDue();
    };
    zip.OnAddItem = [this](archivers::TQuellZip *, const QString &) {
        m_storedBytes += m_currentBytes;
        m_currentBytes = 0;
        m_bytesDone.store(m_storedBytes, std::memory_order_relaxed);
        m_filesDone.fetch_add(1, std::memory_order_relaxed);
        reportIfDue();
    };
}

void CompressionProgress::attach(archivers::TSevenZip &sevenZip)
{
    sevenZip.setOnProgress([this](quint64 completed, quint64 total) {
        m_bytesDone.store(qint64(completed), std::memory_order_relaxed);
        m_bytesTotal.store(total > 0 ? qint64(total) : -1, std::memory_order_relaxed);
        reportIfDue();
        return true;
    });
}

CompressionFigures CompressionProgress::figures() const
{
    return {m_filesDone.load(), m_filesTotal.load(), m_bytesDone.load(), m_bytesTotal.load()};
}

void CompressionProgress::reportIfDue()
{
    // Called per file: one coarse clock read, no lock, unless a report is due.
    const qint64 now = monotonicNs();
    if (now - m_lastReport < m_reportNs)
        return;
    m_lastReport = now;
    if (m_report)
        m_report(figures());
}

} // namespace norvex::service
