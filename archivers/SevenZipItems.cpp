#include "archivers/SevenZipItems.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::archivers::sevenzip {

UInt32 attributeWord(mode_t mode)
{
    const bool isDir = S_ISDIR(mode);
    UInt32 word = isDir ? 0x10 : 0x20;
    if ((mode & 0222) == 0)
        word |= 0x01;
    // 0x8000 says "Unix mode in the high word"; the S_IFMT bits must be there as well,
    // or extraction misreads the word and the modes are lost.
    return word | 0x8000 | (UInt32(mode & 0xFFFF) << 16);
}

FILETIME fileTime(const struct timespec &t)
{
    constexpr Int64 secondsTo1970 = 11644473600;
    if (t.tv_sec < -secondsTo1970)
        return {0, 0};
    const UInt64 ticks = UInt64(t.tv_sec + secondsTo1970) * 10000000u + UInt64(t.tv_nsec / 100);
    return {UInt32(ticks & 0xFFFFFFFFu), UInt32(ticks >> 32)};
}

namespace {

std::string collapseSlashes(const std::string &path)
{
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/')
            continue;
        out += c;
    }
    return out;
}

std::string nativePath(const QString &path)
{
    return collapseSlashes(QFile::encodeName(path).toStdString());
}

std::size_t skipSlashes(const std::string &path, std::size_t from)
{
    while (from < path.size() && path[from] == '/')
        ++from;
    return from;
}

std::string extensionOf(const std::string &name)
{
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

struct Entry
{
    std::string name;
    struct stat st;
};

class Collector
{
public:
    explicit Collector(const ItemOptions &options) : m_options(options)
    {
        if (!options.rootDir.empty()) {
            m_rootSlash = collapseSlashes(options.rootDir);
            if (m_rootSlash.back() != '/')
                m_rootSlash += '/';
        }
    }

    void addListedFolder(const std::string &folderWithSlash, const std::string &mask)
    {
        std::string folder = folderWithSlash;
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        struct stat st;
        // The listed folder itself may be a link: sources are followed, contents are not.
        if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            skipsMount(folder == "/" ? std::string() : folder, st))
            return;
        // The folder's own item: its path without the root folder, or without the '/'.
        std::size_t own = 0;
        if (!m_rootSlash.empty() && (folder + '/').starts_with(m_rootSlash))
            own = std::min(folder.size(), m_rootSlash.size());
        own = skipSlashes(folder, own);
        add(makeItem(folder, own, st));
        m_base = folder == "/" ? std::string() : folder;
        walk(m_base, mask, true);
    }

    void addSingleFile(const std::string &path)
    {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
        ArchiveItem item = makeItem(path, stored(path), st);
        item.followLink = true;
        add(std::move(item));
    }

    // A later item with the stored path of an earlier one takes the earlier one's place.
    // Sorting positions instead of indexing by path keeps large trees' memory down.
    std::vector<ArchiveItem> take()
    {
        std::vector<UInt32> order(m_items.size());
        for (UInt32 i = 0; i < order.size(); ++i)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(), [this](UInt32 a, UInt32 b) {
            return m_items[a].storedPath() < m_items[b].storedPath();
        });
        std::vector<bool> dropped(m_items.size());
        bool anyDropped = false;
        for (std::size_t i = 0; i < order.size();) {
            std::size_t j = i + 1;
            while (j < order.size() &&
                   m_items[order[j]].storedPath() == m_items[order[i]].storedPath())
                ++j;
            if (j - i > 1) {
                m_items[order[i]] = std::move(m_items[order[j - 1]]);
                for (std::size_t k = i + 1; k < j; ++k)
                    dropped[order[k]] = true;
                anyDropped = true;
            }
            i = j;
        }
        if (anyDropped) {
            std::size_t kept = 0;
            for (std::size_t i = 0; i < m_items.size(); ++i) {
                if (dropped[i])
                    continue;
                if (kept != i)
                    m_items[kept] = std::move(m_items[i]);
                ++kept;
            }
            m_items.resize(kept);
        }
        return std::move(m_items);
    }

private:
    // Where the stored path starts in a full path: it is always a tail of it.
    std::size_t stored(const std::string &full) const
    {
        std::size_t at = 0;
        if (!m_rootSlash.empty() && full.starts_with(m_rootSlash))
            at = m_rootSlash.size();
        at = skipSlashes(full, at);
        if (m_options.storeOnlyFilename) {
            const auto slash = full.rfind('/');
            if (slash != std::string::npos && slash + 1 > at)
                at = slash + 1;
        }
        return at;
    }

    bool leavesOut(const std::string &path, bool folder)
    {
        if (!m_options.excludes ||
            !m_options.excludes->excludes(std::string_view(path).substr(m_base.size() + 1), folder))
            return false;
        if (m_options.excluded)
            ++(folder ? m_options.excluded->folders : m_options.excluded->files);
        return true;
    }

    bool skipsMount(const std::string &folder, const struct stat &st)
    {
        return m_options.mounts &&
               m_options.mounts->skips(QByteArray::fromStdString(folder), quint64(st.st_dev));
    }

    static ArchiveItem makeItem(const std::string &source, std::size_t storedFrom,
                                const struct stat &st)
    {
        ArchiveItem item;
        item.sourcePath = source;
        item.storedFrom = UInt32(storedFrom);
        item.isDir = S_ISDIR(st.st_mode);
        item.size = S_ISREG(st.st_mode) ? UInt64(st.st_size) : 0;
        item.attrib = attributeWord(st.st_mode);
        item.mtime = fileTime(st.st_mtim);
        item.device = st.st_dev;
        item.inode = st.st_ino;
        return item;
    }

    void add(ArchiveItem &&item)
    {
        if (!item.storedPath().empty())
            m_items.push_back(std::move(item));
    }

    // Reads one folder whole and closes it before descending, so deep trees do not hold a
    // descriptor per level.
    static std::vector<Entry> readFolder(const std::string &folder, bool listedFolder)
    {
        const std::string path = folder.empty() ? std::string("/") : folder;
        // O_NOFOLLOW: a sub-folder swapped for a link since it was listed is not entered.
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (listedFolder ? 0 : O_NOFOLLOW);
        const int fd = ::open(path.c_str(), flags);
        if (fd < 0) {
            if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
                return {};
            throw SourceError{path, errno};
        }
        DIR *dir = ::fdopendir(fd);
        if (!dir) {
            const int error = errno;
            ::close(fd);
            throw SourceError{path, error};
        }
        std::vector<Entry> entries;
        int error = 0;
        for (;;) {
            errno = 0;
            const dirent *d = ::readdir(dir);
            if (!d) {
                error = errno;
                break;
            }
            const std::string name = d->d_name;
            if (name == "." || name == "..")
                continue;
            Entry e{name, {}};
            if (::fstatat(::dirfd(dir), d->d_name, &e.st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue; // removed while we read the folder
                error = errno;
                break;
            }
            entries.push_back(std::move(e));
        }
        ::closedir(dir);
        if (error != 0)
            throw SourceError{path, error};
        // Name order keeps archives of the same tree identical from run to run.
        std::sort(entries.begin(), entries.end(),
                  [](const Entry &a, const Entry &b) { return a.name < b.name; });
        return entries;
    }

    void walk(const std::string &folder, const std::string &mask, bool listedFolder)
    {
        for (const Entry &e : readFolder(folder, listedFolder)) {
            const std::string path = folder + '/' + e.name;
            const mode_t type = e.st.st_mode & S_IFMT;
            if (type == S_IFDIR) {
                if (leavesOut(path, true))
                    continue;
                if (skipsMount(path, e.st))
                    continue;
                add(makeItem(path, stored(path), e.st));
                if (m_options.recurse)
                    walk(path, mask, false);
                continue;
            }
            if (type != S_IFREG && type != S_IFLNK)
                continue; // sockets, FIFOs and devices are never opened
            if (mask != ".*" && mask != extensionOf(e.name))
                continue;
            if (leavesOut(path, false))
                continue;
            ArchiveItem item = makeItem(path, stored(path), e.st);
            if (type == S_IFLNK) {
                std::string target(std::size_t(e.st.st_size > 0 ? e.st.st_size : 255) + 1, '\0');
                const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
                if (n < 0) {
                    if (errno == ENOENT)
                        continue;
                    throw SourceError{path, errno};
                }
                target.resize(std::size_t(n));
                item.isLink = true;
                item.size = target.size();
                item.linkTarget = std::move(target);
            }
            add(std::move(item));
        }
    }

    const ItemOptions &m_options;
    std::string m_rootSlash;
    std::string m_base; // the listed folder being walked
    std::vector<ArchiveItem> m_items;
};

} // namespace

std::vector<ArchiveItem> collectItems(const QStringList &fileList, const ItemOptions &options)
{
    Collector collector(options);
    for (const QString &entry : fileList) {
        // "folder/*.*", "folder/*.txt": the last component starting with '*' is the mask.
        // A '*' elsewhere is an ordinary character of a Linux file name.
        const qsizetype slash = entry.lastIndexOf(QLatin1Char('/'));
        if (entry.mid(slash + 1).startsWith(QLatin1Char('*'))) {
            const QString mask = entry.mid(slash + 2, 8);
            collector.addListedFolder(nativePath(entry.left(slash + 1)),
                                      QFile::encodeName(mask).toStdString());
        } else {
            collector.addSingleFile(nativePath(entry));
        }
    }
    return collector.take();
}

} // namespace norvex::archivers::sevenzip
