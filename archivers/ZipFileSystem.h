#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <ctime>
#include <sys/types.h>
#include <vector>

namespace norvex::archivers {

// What the writer needs to know of a file system object.
struct ZipFileInfo
{
    mode_t mode = 0;
    qint64 size = 0;
    std::time_t modified = 0;
    dev_t device = 0;
    ino_t inode = 0;

    bool isFolder() const;
    bool isRegular() const;
    bool isLink() const;
    // The external attribute word: the Unix mode in the high 16 bits, the DOS bits
    // (0x10 folder, 0x01 read-only) in the low byte.
    quint32 attributes() const;
};

struct ZipFolderItem
{
    QByteArray name;
    ZipFileInfo info; // as lstat gives it
};

namespace zipfs {

// stat (follow) or lstat; false when the object does not exist or cannot be reached.
bool info(const QByteArray &path, bool follow, ZipFileInfo &out);
// The folder's items without "." and "..", in the order the file system returns them,
// looked at through the folder's own descriptor; false with errno set when the folder
// cannot be read. The folder is opened with O_NOFOLLOW unless follow is set (a source
// given by name may be a link; a folder inside a tree swapped for a link is not entered:
// ELOOP).
bool listFolder(const QByteArray &path, bool follow, std::vector<ZipFolderItem> &items);
bool readLink(const QByteArray &path, QByteArray &target);

} // namespace zipfs

// A source file opened for reading. open() returns false with errno set; FIFOs and
// devices do not block it (it is opened non-blocking and then checked by the caller).
class ZipSourceFile
{
public:
    ZipSourceFile() = default;
    ZipSourceFile(const ZipSourceFile &) = delete;
    ZipSourceFile &operator=(const ZipSourceFile &) = delete;
    ~ZipSourceFile();

    bool open(const QByteArray &path, bool follow);
    bool info(ZipFileInfo &out) const;
    // Reads up to length bytes; 0 at the end, -1 with errno on failure.
    qint64 read(void *data, qint64 length);
    bool rewind();
    void close();

private:
    int m_fd = -1;
};

} // namespace norvex::archivers
