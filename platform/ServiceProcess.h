#pragma once

#include "platform/ServiceManager.h"

#include <QByteArray>
#include <QString>

namespace norvex::platform {

// Set by the built-in manager for a service it launches: the path of the instance lock.
inline constexpr char ServiceLockVariable[] = "NORVEX_SERVICE_LOCK";

// The running service's side of the service manager: under the built-in manager it holds
// the instance lock and publishes its state in the lock file; under systemd it reports
// readiness and stopping over $NOTIFY_SOCKET. Started by hand it does neither.
class ServiceProcess
{
public:
    ServiceProcess() = default;
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    // Takes the installation folder's lock (none when installFolder is empty) and the
    // instance lock when the built-in manager asks for one. False (with the reason) when
    // another service holds either or it cannot be opened: this process must then not run
    // as the service.
    bool begin(const QString &installFolder, QString *errorText);
    void publish(ServiceState state);

    bool holdsLock() const { return m_lockFd >= 0; }

private:
    int m_lockFd = -1;
    int m_folderFd = -1;
};

// What the instance lock at path says: held == false when no process holds it (no file,
// a stale file, or a service that died).
struct ServiceLockState
{
    bool held = false;
    int pid = 0;
    ServiceState state = ServiceState::Stopped;
};
// Throws ServiceError when the file exists but cannot be examined.
ServiceLockState readServiceLock(const QString &path);

// Whether a service process holds the installation folder's lock (ServiceProcess::begin),
// however it was started: by a service manager or by hand in the foreground. Looked up in
// the kernel's lock table, so the lock is never touched (a probe that took it, even shared
// for a moment, could make a starting service fail). Throws ServiceError when the folder or
// the table cannot be examined.
bool installFolderLocked(const QString &installFolder);

// Whether a process with this id exists (one of another user's counts too).
bool processExists(qint64 pid);

// Sends one datagram to $NOTIFY_SOCKET (path or abstract "@name"). False when the
// variable is unset or the message could not be sent.
bool sdNotify(const QByteArray &message);

} // namespace norvex::platform
