#include "platform/ServiceProcess.h"

#include "platform/Paths.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace norvex::platform {

namespace {

struct flock wholeFile(short type)
{
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

} // namespace

ServiceProcess::~ServiceProcess()
{
    // The folder first: whoever sees the instance lock free may start the next service.
    if (m_folderFd >= 0)
        ::close(m_folderFd);
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

bool ServiceProcess::begin(const QString &installFolder, QString *errorText)
{
    // One service per installation folder, however each was started: two would run the
    // same jobs into the same archives. flock on the folder itself needs no file there.
    if (!installFolder.isEmpty()) {
        const QByteArray folder = installFolder.toLocal8Bit();
        const int folderFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd < 0) {
            if (errorText)
                *errorText = installFolder + QStringLiteral(": ") + systemErrorText(errno);
            return false;
        }
        if (::flock(folderFd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(folderFd);
            if (errorText)
                *errorText =
                    (error == EWOULDBLOCK ? serviceErrorText(ServiceErrorCode::AlreadyRunning)
                                          : systemErrorText(error)) +
                    QStringLiteral(" (") + installFolder + QLatin1Char(')');
            return false;
        }
        m_folderFd = folderFd;
    }
    const QByteArray path = qgetenv(ServiceLockVariable);
    if (path.isEmpty())
        return true;
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errorText)
            *errorText = QString::fromUtf8(path) + QStringLiteral(": ") + systemErrorText(errno);
        return false;
    }
    // A POSIX record lock: the kernel drops it when the process ends however it ends, and
    // readers can test it with F_GETLK without taking it (and so without racing a start).
    struct flock lock = wholeFile(F_WRLCK);
    if (::fcntl(fd, F_SETLK, &lock) != 0) {
        const int error = errno;
        ::close(fd);
        if (errorText)
            *errorText =
                (error == EAGAIN || error == EACCES)
                    ? serviceErrorText(ServiceErrorCode::AlreadyRunning)
                    : QString::fromUtf8(path) + QStringLiteral(": ") + systemErrorText(error);
        return false;
    }
    m_lockFd = fd;
    return true;
}

void ServiceProcess::publish(ServiceState state)
{
    if (m_lockFd >= 0) {
        // One fixed-width line rewritten in place: a reader never sees a partial state.
        char line[32];
        const int n = std::snprintf(line, sizeof line, "%d %10d\n", int(state), int(::getpid()));
        if (::pwrite(m_lockFd, line, size_t(n), 0) == n)
            ::fdatasync(m_lockFd);
    }
    if (state == ServiceState::Running)
        sdNotify("READY=1");
    else if (state == ServiceState::StopPending)
        sdNotify("STOPPING=1");
}

ServiceLockState readServiceLock(const QString &path)
{
    ServiceLockState result;
    const QByteArray native = path.toLocal8Bit();
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return result;
        throw ServiceError(
            errno == EACCES || errno == EPERM ? ServiceErrorCode::AccessDenied : errno, path);
    }
    struct flock lock = wholeFile(F_WRLCK);
    if (::fcntl(fd, F_GETLK, &lock) != 0) {
        const int error = errno;
        ::close(fd);
        throw ServiceError(error, path);
    }
    if (lock.l_type != F_UNLCK) {
        result.held = true;
        result.pid = lock.l_pid;
        // Held but not yet written means the service has only just started.
        result.state = ServiceState::StartPending;
        char first = 0;
        if (::pread(fd, &first, 1, 0) == 1 && first >= '0' && first <= '6')
            result.state = ServiceState(first - '0');
    }
    ::close(fd);
    return result;
}

bool installFolderLocked(const QString &installFolder)
{
    struct stat folder;
    if (::stat(installFolder.toLocal8Bit().constData(), &folder) != 0)
        throw ServiceError(errno, installFolder);
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        throw ServiceError(EACCES, locks.fileName());
    // "1: FLOCK  ADVISORY  WRITE 4711 00:2e:1234 0 EOF"; a waiter's line has "->" after the
    // number and holds nothing.
    const QByteArray wanted = QByteArray::number(major(folder.st_dev), 16).rightJustified(2, '0') +
                              ':' +
                              QByteArray::number(minor(folder.st_dev), 16).rightJustified(2, '0') +
                              ':' + QByteArray::number(quint64(folder.st_ino));
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() >= 6 && words[1] == "FLOCK" && words[5] == wanted)
            return true;
    }
    return false;
}

bool processExists(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

bool sdNotify(const QByteArray &message)
{
    const QByteArray socketPath = qgetenv("NOTIFY_SOCKET");
    if (socketPath.isEmpty())
        return false;
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (size_t(socketPath.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
    socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(socketPath.size()));
    if (socketPath.startsWith('@'))
        address.sun_path[0] = '\0'; // abstract namespace: no terminating zero counted
    else
        length += 1;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const ssize_t sent = ::sendto(fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr *>(&address), length);
    ::close(fd);
    return sent == message.size();
}

} // namespace norvex::platform
