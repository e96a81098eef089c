#include "service/LocalBackUp.h"

#include "platform/FileIo.h"
#include "platform/Paths.h"
#include "shared/mlb2.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvex::service {

namespace {

using platform::syncFolder;
using platform::writeAll;

[[noreturn]] void raiseSystem(int errorCode)
{
    raiseStepError(kLocalBackUpFailed, platform::systemErrorText(errorCode));
}

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

} // namespace

LocalGenerationFolder::LocalGenerationFolder(QString folder, QString archivePath,
                                             std::function<void(qint64)> onProgress)
    : m_folder(std::move(folder)), m_archivePath(std::move(archivePath)),
      m_onProgress(std::move(onProgress))
{
}

QString LocalGenerationFolder::path(const QString &name) const
{
    return m_folder + QLatin1Char('/') + name;
}

qint64 LocalGenerationFolder::storePart(const QString &partName)
{
    const QString target = path(partName);
    // A ".part" left by a run that was cut short is ours to replace.
    ::unlink(native(target).constData());
    // A hard link keeps the archive in the temporary folder until the new generation is
    // published, without copying a byte.
    if (::link(native(m_archivePath).constData(), native(target).constData()) == 0) {
        // The archiver closed the file but need not have flushed it, and made it with the
        // service's umask.
        const int fd = ::open(native(target).constData(), O_RDONLY | O_CLOEXEC);
        struct stat st
        {
        };
        const int error = fd < 0 ? errno
                          : ::fchmod(fd, 0600) == 0 && ::fsync(fd) == 0 && ::fstat(fd, &st) == 0
                              ? 0
                              : errno;
        if (fd >= 0)
            ::close(fd);
        if (error != 0)
            raiseSystem(error);
        // Stored in one step: the whole size at once.
        if (m_onProgress)
            m_onProgress(st.st_size);
        return st.st_size;
    }
    const int linkError = errno;
    if (linkError != EXDEV && linkError != EPERM && linkError != EOPNOTSUPP && linkError != EMLINK)
        raiseSystem(linkError);
    m_copied = true;
    return copyArchive(target);
}

qint64 LocalGenerationFolder::copyArchive(const QString &target)
{
    const int in = ::open(native(m_archivePath).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        raiseSystem(errno);
    const int out =
        ::open(native(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const int e = errno;
        ::close(in);
        raiseSystem(e);
    }
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    int error = 0;
    qint64 copied = 0;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errno;
            break;
        }
        if (n == 0)
            break;
        if (!writeAll(out, buffer.constData(), n)) {
            error = errno;
            break;
        }
        copied += n;
        if (m_onProgress)
            m_onProgress(copied);
    }
    ::close(in);
    // The umask may have taken bits away, never added any; still, be explicit.
    if (error == 0 && ::fchmod(out, 0600) != 0)
        error = errno;
    if (error == 0 && ::fsync(out) != 0)
        error = errno;
    struct stat st
    {
    };
    if (error == 0 && ::fstat(out, &st) != 0)
        error = errno;
    if (::close(out) != 0 && error == 0)
        error = errno;
    if (error != 0)
        raiseSystem(error);
    return st.st_size;
}

GenerationFolder::Result LocalGenerationFolder::findFile(const QString &name)
{
    struct stat st
    {
    };
    if (::lstat(native(path(name)).constData(), &st) == 0)
        return Result::Done;
    m_error = errno;
    return m_error == ENOENT ? Result::Absent : Result::Failed;
}

bool LocalGenerationFolder::removeFile(const QString &name)
{
    return ::unlink(native(path(name)).constData()) == 0;
}

GenerationFolder::Result LocalGenerationFolder::moveFile(const QString &from, const QString &to)
{
    const QByteArray source = native(path(from));
    const QByteArray target = native(path(to));
    // Never over an existing file: a generation that was not moved on stays where it is.
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0)
        return Result::Done;
    m_error = errno;
    if (m_error == EINVAL || m_error == ENOSYS) {
        // A file system without RENAME_NOREPLACE.
        struct stat st
        {
        };
        if (::lstat(target.constData(), &st) == 0)
            m_error = EEXIST;
        else if (::rename(source.constData(), target.constData()) == 0)
            return Result::Done;
        else
            m_error = errno;
    }
    return m_error == ENOENT ? Result::Absent : Result::Failed;
}

GenerationFolder::Result LocalGenerationFolder::replaceFile(const QString &from, const QString &to)
{
    // rename() replaces the target atomically: a reader sees the old or the new archive.
    const QByteArray source = native(path(from));
    if (::rename(source.constData(), native(path(to)).constData()) != 0) {
        m_error = errno;
        return Result::Failed;
    }
    // When to is the archive itself (the temporary folder is the destination) both names
    // are links to one file and rename() leaves from in place.
    ::unlink(source.constData());
    syncFolder(native(m_folder));
    return Result::Done;
}

QString LocalGenerationFolder::lastError() const
{
    return platform::systemErrorText(m_error);
}

void storeInLocalFolder(const QString &localBackupDir, const TransferContext &ctx)
{
    QString folder = localBackupDir;
    if (ctx.subFolder) {
        folder += QLatin1Char('/') + ctx.subFolderName;
        // One level only; a missing localbackupdir makes the store report the error.
        ::mkdir(native(folder).constData(), 0777);
    }
    LocalGenerationFolder destination(folder, ctx.archivePath, ctx.onProgress);
    storeRotatePublish(destination, ctx);
    // The archive leaves the temporary folder; its temporary name is never a stored name,
    // even when that folder is the destination.
    ::unlink(native(ctx.archivePath).constData());
}

void LocalBackUp(const TransferContext &ctx)
{
    storeInLocalFolder(ctx.jobRow.FieldByName(QStringLiteral("localbackupdir")), ctx);
}

} // namespace norvex::service
