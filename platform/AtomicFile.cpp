#include "platform/AtomicFile.h"

#include "platform/FileIo.h"
#include "platform/Paths.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::platform {

namespace {

void setError(QString *error, const QString &what, int code)
{
    if (error)
        *error = what + QStringLiteral(": ") + systemErrorText(code);
    errno = code; // callers that map error codes read it
}

// Writes data into a new temporary file beside `target`; returns its path or empty.
QByteArray writeTemporary(const QByteArray &target, const QByteArray &data, unsigned mode,
                          QString *error, bool sync = true)
{
    const int slash = target.lastIndexOf('/');
    QByteArray folder = slash >= 0 ? target.left(slash + 1) : QByteArray();
    const QByteArray base = slash >= 0 ? target.mid(slash + 1) : target;
    QByteArray pattern = folder + '.' + base + ".tmp-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        setError(error,
                 QStringLiteral("cannot create a temporary file beside %1")
                     .arg(QString::fromUtf8(target)),
                 code);
        return {};
    }
    // mkostemp makes the file 0600; a mode we cannot set is not fatal.
    ::fchmod(fd, mode);
    bool ok = true;
    int code = 0;
    if (!writeAll(fd, data) || (sync && ::fsync(fd) != 0)) {
        code = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        code = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(pattern.constData());
        setError(error, QStringLiteral("cannot write %1").arg(QString::fromUtf8(pattern)), code);
        return {};
    }
    return pattern;
}

QByteArray folderOf(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    if (slash == 0)
        return QByteArrayLiteral("/");
    return path.left(slash);
}

} // namespace

unsigned processUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const unsigned mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return mask & 0777;
            }
        }
    }
    return 022;
}

bool writeFileAtomically(const QString &path, const QByteArray &data, unsigned newFileMode,
                         QString *error, Durability durability)
{
    const bool sync = durability == Durability::Durable;
    QByteArray target = QFile::encodeName(path);
    struct stat st
    {
    };
    if (::lstat(target.constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Replacing the link itself would turn it into a plain file.
        const QString resolved = QFileInfo(path).canonicalFilePath();
        if (!resolved.isEmpty())
            target = QFile::encodeName(resolved);
    }
    unsigned mode = newFileMode;
    const bool exists = ::stat(target.constData(), &st) == 0;
    if (exists) {
        if (S_ISDIR(st.st_mode)) {
            setError(error, QStringLiteral("%1 is a folder").arg(path), EISDIR);
            return false;
        }
        mode = st.st_mode & 07777;
        // A file we may not write is not replaced behind its back by the rename.
        if (::access(target.constData(), W_OK) != 0) {
            const int code = errno;
            setError(error, QStringLiteral("cannot write %1").arg(path), code);
            return false;
        }
    }
    const QByteArray temp = writeTemporary(target, data, mode, error, sync);
    if (temp.isEmpty())
        return false;
    if (exists && ::geteuid() == 0) {
        // Running as root must not hand another user's file over to root.
        // A failure is not fatal: the content matters more than the owner.
        [[maybe_unused]] const int chowned = ::chown(temp.constData(), st.st_uid, st.st_gid);
        // chown clears set-id bits; put the mode back.
        ::chmod(temp.constData(), mode);
    }
    if (::rename(temp.constData(), target.constData()) != 0) {
        const int code = errno;
        ::unlink(temp.constData());
        setError(error, QStringLiteral("cannot replace %1").arg(path), code);
        return false;
    }
    if (sync)
        syncFolder(folderOf(target));
    return true;
}

bool createFileExclusively(const QString &path, const QByteArray &data, unsigned mode,
                           QString *error)
{
    const QByteArray target = QFile::encodeName(path);
    struct stat st
    {
    };
    if (::stat(target.constData(), &st) == 0)
        return true;
    const QByteArray temp = writeTemporary(target, data, mode, error);
    if (temp.isEmpty())
        return false;
    // link() publishes the complete file under its name, and fails when the name exists.
    if (::link(temp.constData(), target.constData()) == 0 || errno == EEXIST) {
        ::unlink(temp.constData());
        syncFolder(folderOf(target));
        return true;
    }
    const int code = errno;
    ::unlink(temp.constData());
    // File systems without hard links: create exclusively and fill.
    const int fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        if (errno == EEXIST)
            return true;
        setError(error, QStringLiteral("cannot create %1").arg(path), code);
        return false;
    }
    const bool ok = writeAll(fd, data) && ::fsync(fd) == 0;
    const int writeCode = errno;
    ::close(fd);
    if (!ok) {
        ::unlink(target.constData()); // no half-written file under the final name
        setError(error, QStringLiteral("cannot write %1").arg(path), writeCode);
    }
    return ok;
}

} // namespace norvex::platform
