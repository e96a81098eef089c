#include "platform/ServiceManagerBuiltin.h"

#include "platform/AtomicFile.h"
#include "platform/FileIo.h"
#include "platform/ServiceProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace norvex::platform {

namespace {

int accessCode(int error)
{
    return error == EACCES || error == EPERM ? ServiceErrorCode::AccessDenied : error;
}

bool validName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".") &&
           name != QLatin1String("..");
}

// The record is replaced whole: a reader sees the old one or the new one.
void writeRecord(const QString &path, const QByteArray &data)
{
    if (!writeFileAtomically(path, data, 0644))
        throw ServiceError(accessCode(errno), path);
}

struct LaunchReport
{
    int kind; // 0: the daemon's process id follows, 1: an errno follows
    int value;
};

// Runs in the forked children only: async-signal-safe calls from here on.
[[noreturn]] void launchDaemon(int reportFd, const char *path, char *const argv[],
                               char *const envp[])
{
    ::setsid();
    const pid_t daemon = ::fork();
    if (daemon != 0) {
        LaunchReport report{daemon < 0 ? 1 : 0, daemon < 0 ? errno : int(daemon)};
        (void)!::write(reportFd, &report, sizeof report);
        ::_exit(daemon < 0 ? 1 : 0);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD})
        ::signal(sig, SIG_DFL);
    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        ::dup2(devNull, 0);
        ::dup2(devNull, 1);
        ::dup2(devNull, 2);
        if (devNull > 2)
            ::close(devNull);
    }
    if (::chdir("/") != 0) {
        // "/" always exists; nothing sensible to do otherwise.
    }
    // Nothing of the caller's open files reaches the service.
    // (the report pipe is close-on-exec already, so marking everything that way keeps it
    // open until execve succeeds)
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != reportFd)
                ::close(fd);
    ::execve(path, argv, envp);
    LaunchReport report{1, errno};
    (void)!::write(reportFd, &report, sizeof report);
    ::_exit(127);
}

} // namespace

BuiltinServiceManager::BuiltinServiceManager(QString registryFolder)
    : m_registry(std::move(registryFolder))
{
    while (m_registry.size() > 1 && m_registry.endsWith(QLatin1Char('/')))
        m_registry.chop(1);
}

QString BuiltinServiceManager::defaultRegistry()
{
    const QByteArray folder = qgetenv("NORVEX_SERVICE_REGISTRY");
    return folder.isEmpty() ? QStringLiteral("/etc/norvex/services")
                            : QString::fromLocal8Bit(folder);
}

QString BuiltinServiceManager::recordPath(const QString &name) const
{
    return m_registry + QLatin1Char('/') + name + QStringLiteral(".conf");
}

QString BuiltinServiceManager::lockPath(const QString &name) const
{
    return m_registry + QLatin1Char('/') + name + QStringLiteral(".lock");
}

BuiltinServiceManager::Record BuiltinServiceManager::readRecord(const QString &name) const
{
    if (!validName(name))
        throw ServiceError(ServiceErrorCode::NotInstalled);
    // errno tells a missing record from one this user may not read (a registry folder
    // closed to them), which QFile alone does not.
    const int fd = ::open(recordPath(name).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw ServiceError(ServiceErrorCode::NotInstalled);
        throw ServiceError(accessCode(errno), recordPath(name));
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw ServiceError(EIO, recordPath(name));
    }
    Record record;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const qsizetype eq = line.indexOf('=');
        if (line.startsWith('#') || eq < 0)
            continue;
        const QByteArray key = line.left(eq).trimmed();
        const QString value = QString::fromUtf8(line.mid(eq + 1));
        if (key == "ExecStart")
            record.executable = value;
        else if (key == "Home")
            record.home = value;
        else if (key == "Start")
            record.disabled =
                value.trimmed().compare(QLatin1String("disabled"), Qt::CaseInsensitive) == 0;
    }
    if (record.executable.isEmpty())
        throw ServiceError(ENOEXEC, recordPath(name));
    return record;
}

void BuiltinServiceManager::requireWritableRegistry() const
{
    if (::access(m_registry.toLocal8Bit().constData(), W_OK | X_OK) != 0)
        throw ServiceError(accessCode(errno), m_registry);
}

void BuiltinServiceManager::install(const ServiceSpec &spec)
{
    if (!validName(spec.name))
        throw ServiceError(EINVAL, spec.name);
    for (const QString &value : {spec.displayName, spec.executable, spec.home})
        if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')))
            throw ServiceError(EINVAL, value);
    if (!QFileInfo(spec.executable).isAbsolute())
        throw ServiceError(EINVAL, spec.executable);
    if (!QDir().mkpath(m_registry)) {
        // mkpath does not say why; the usual reason is a folder we may not write.
        const QString parent = QFileInfo(m_registry).absolutePath();
        throw ServiceError(::access(parent.toLocal8Bit().constData(), W_OK) != 0 ? accessCode(errno)
                                                                                 : EIO,
                           m_registry);
    }
    requireWritableRegistry();
    if (QFileInfo::exists(recordPath(spec.name)))
        throw ServiceError(ServiceErrorCode::AlreadyInstalled);
    QByteArray text = "# Service record of the Norvex service manager\n";
    text += "DisplayName=" + spec.displayName.toUtf8() + '\n';
    text += "ExecStart=" + spec.executable.toUtf8() + '\n';
    if (!spec.home.isEmpty())
        text += "Home=" + spec.home.toUtf8() + '\n';
    text += "Start=auto\n";
    writeRecord(recordPath(spec.name), text);
}

void BuiltinServiceManager::uninstall(const QString &name)
{
    readRecord(name);
    requireWritableRegistry();
    const ServiceLockState lock = readServiceLock(lockPath(name));
    if (lock.held) {
        stop(name);
        if (!waitForLock(name, false, 0))
            throw ServiceError(ServiceErrorCode::NoResponse);
    }
    if (::unlink(recordPath(name).toLocal8Bit().constData()) != 0 && errno != ENOENT)
        throw ServiceError(accessCode(errno), recordPath(name));
    ::unlink(lockPath(name).toLocal8Bit().constData());
}

void BuiltinServiceManager::checkInstalled(const QString &name)
{
    readRecord(name);
}

ServiceState BuiltinServiceManager::queryState(const QString &name)
{
    readRecord(name);
    const ServiceLockState lock = readServiceLock(lockPath(name));
    return lock.held ? lock.state : ServiceState::Stopped;
}

bool BuiltinServiceManager::waitForLock(const QString &name, bool held, int processId) const
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (readServiceLock(lockPath(name)).held == held)
            return true;
        // A launched service that is gone without taking the lock will never take it.
        if (held && processId > 0 && ::kill(processId, 0) != 0 && errno == ESRCH)
            return readServiceLock(lockPath(name)).held;
        if (clock.elapsed() >= timeout())
            return false;
        QThread::msleep(10);
    }
}

void BuiltinServiceManager::start(const QString &name, const QStringList &arguments)
{
    // The service reads no start arguments; they are accepted and not passed on, because
    // its command line carries the registration switches.
    Q_UNUSED(arguments);
    const Record record = readRecord(name);
    if (record.disabled)
        throw ServiceError(ServiceErrorCode::Disabled);
    if (readServiceLock(lockPath(name)).held)
        throw ServiceError(ServiceErrorCode::AlreadyRunning);
    // The service runs as the caller and must be able to take its lock.
    const QString lock = lockPath(name);
    if (QFileInfo::exists(lock)) {
        if (::access(lock.toLocal8Bit().constData(), R_OK | W_OK) != 0)
            throw ServiceError(accessCode(errno), lock);
    } else {
        requireWritableRegistry();
    }

    // Everything the children need is built before fork: they may only make system calls.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(ServiceLockVariable), lock);
    environment.insert(QStringLiteral("NORVEX_SERVICE_MANAGER"), QStringLiteral("builtin"));
    environment.insert(QStringLiteral("NORVEX_SERVICE_REGISTRY"), m_registry);
    environment.remove(QStringLiteral("NOTIFY_SOCKET"));
    if (record.home.isEmpty())
        environment.remove(QStringLiteral("NORVEX_HOME"));
    else
        environment.insert(QStringLiteral("NORVEX_HOME"), record.home);
    std::vector<QByteArray> envStrings;
    for (const QString &entry : environment.toStringList())
        envStrings.push_back(entry.toLocal8Bit());
    std::vector<char *> envp;
    for (QByteArray &entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    QByteArray path = record.executable.toLocal8Bit();
    char *argv[] = {path.data(), nullptr};

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw ServiceError(errno);
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        throw ServiceError(error);
    }
    if (child == 0) {
        ::close(pipeFds[0]);
        launchDaemon(pipeFds[1], path.constData(), argv, envp.data());
    }
    ::close(pipeFds[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int daemonPid = 0;
    int launchError = 0;
    LaunchReport report;
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], &report, sizeof report);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != ssize_t(sizeof report))
            break;
        if (report.kind == 0)
            daemonPid = report.value;
        else
            launchError = report.value;
    }
    ::close(pipeFds[0]);
    if (launchError != 0)
        throw ServiceError(accessCode(launchError), record.executable);
    if (daemonPid <= 0)
        throw ServiceError(ECHILD, record.executable);
    if (!waitForLock(name, true, daemonPid))
        throw ServiceError(ServiceErrorCode::NoResponse);
}

void BuiltinServiceManager::stop(const QString &name)
{
    readRecord(name);
    const ServiceLockState lock = readServiceLock(lockPath(name));
    if (!lock.held)
        throw ServiceError(ServiceErrorCode::NotRunning);
    int pid = lock.pid;
    if (pid <= 0) {
        // The holder lives in another process-id namespace; its own word is all we have.
        QFile file(lockPath(name));
        if (file.open(QIODevice::ReadOnly))
            pid = file.readLine().simplified().split(' ').value(1).toInt();
    }
    if (pid <= 0)
        throw ServiceError(ESRCH, lockPath(name));
    if (::kill(pid, SIGTERM) != 0)
        throw ServiceError(accessCode(errno));
}

} // namespace norvex::platform
