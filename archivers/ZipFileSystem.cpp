#include "archivers/ZipFileSystem.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::archivers {

bool ZipFileInfo::isFolder() const
{
    return S_ISDIR(mode);
}

bool ZipFileInfo::isRegular() const
{
    return S_ISREG(mode);
}

bool ZipFileInfo::isLink() const
{
    return S_ISLNK(mode);
}

quint32 ZipFileInfo::attributes() const
{
    quint32 dos = 0;
    if (S_ISDIR(mode))
        dos |= 0x10;
    if (!S_ISLNK(mode) && (mode & 0222) == 0)
        dos |= 0x01;
    return (quint32(mode & 0xFFFF) << 16) | dos;
}

static void fill(const struct stat &st, ZipFileInfo &out)
{
    out.mode = st.st_mode;
    out.size = st.st_size;
    out.modified = st.st_mtime;
    out.device = st.st_dev;
    out.inode = st.st_ino;
}

namespace zipfs {

bool info(const QByteArray &path, bool follow, ZipFileInfo &out)
{
    struct stat st;
    const int r = follow ? ::stat(path.constData(), &st) : ::lstat(path.constData(), &st);
    if (r != 0)
        return false;
    fill(st, out);
    return true;
}

bool listFolder(const QByteArray &path, bool follow, std::vector<ZipFolderItem> &items)
{
    items.clear();
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
    const int fd = ::open(path.constData(), flags);
    if (fd < 0)
        return false;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    // Read whole and closed before the caller descends, so that deep trees do not hold
    // one descriptor per level.
    int error = 0;
    for (;;) {
        errno = 0; // readdir signals an error only through errno
        const dirent *e = ::readdir(dir);
        if (!e) {
            error = errno;
            break;
        }
        const char *n = e->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
            continue;
        struct stat st;
        if (::fstatat(::dirfd(dir), n, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; // removed while the folder was read
            error = errno;
            break;
        }
        ZipFolderItem item{QByteArray(n), {}};
        fill(st, item.info);
        items.push_back(std::move(item));
    }
    ::closedir(dir);
    errno = error;
    return error == 0;
}

bool readLink(const QByteArray &path, QByteArray &target)
{
    QByteArray buffer(256, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::readlink(path.constData(), buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (n < buffer.size()) {
            buffer.truncate(n);
            target = buffer;
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace zipfs

ZipSourceFile::~ZipSourceFile()
{
    close();
}

bool ZipSourceFile::open(const QByteArray &path, bool follow)
{
    close();
    // O_NONBLOCK: a FIFO that replaced the file must not hang the backup.
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow ? 0 : O_NOFOLLOW);
    // A backup should not change access times; only the owner (or root) may ask for that.
    int fd = ::open(path.constData(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = ::open(path.constData(), flags);
    if (fd < 0)
        return false;
    m_fd = fd;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

bool ZipSourceFile::info(ZipFileInfo &out) const
{
    struct stat st;
    if (::fstat(m_fd, &st) != 0)
        return false;
    fill(st, out);
    return true;
}

qint64 ZipSourceFile::read(void *data, qint64 length)
{
    for (;;) {
        const ssize_t n = ::read(m_fd, data, std::size_t(length));
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

bool ZipSourceFile::rewind()
{
    return ::lseek(m_fd, 0, SEEK_SET) == 0;
}

void ZipSourceFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

} // namespace norvex::archivers
