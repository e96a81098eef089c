#pragma once

#include "platform/ServiceManager.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>

class QThread;

namespace norvex::platform {
class ServiceProcess;
}

namespace norvex::service {

// The service framework. A service derives from TService and fills the three handlers,
// which the framework calls in this order on the service's control thread (a thread with
// its own event loop): ServiceStart, then ServiceExecute (the request loop), and
// ServiceStop when a stop request arrives. The program's main thread runs the
// QCoreApplication loop meanwhile. SIGTERM, SIGINT and SIGHUP are the stop request.
class TService : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString Name READ Name WRITE SetName)
    Q_PROPERTY(QString DisplayName READ DisplayName WRITE SetDisplayName)
    Q_PROPERTY(bool AllowPause READ AllowPause)
    Q_PROPERTY(bool AllowStop READ AllowStop)

public:
    explicit TService(QObject *owner = nullptr);
    ~TService() override;

    QString Name() const { return m_name; }
    void SetName(const QString &name) { m_name = name; }
    QString DisplayName() const { return m_displayName; }
    void SetDisplayName(const QString &name) { m_displayName = name; }
    bool AllowPause() const { return false; }
    bool AllowStop() const { return true; }

    // Start-up. Leaving started false ends the service at once.
    virtual void ServiceStart(bool &started);
    // The request loop; the default runs ProcessRequests(true) until Terminated().
    virtual void ServiceExecute();
    // Stop. Leaving stopped false refuses the request and the service keeps running.
    virtual void ServiceStop(bool &stopped);

    // True once a stop request has been granted.
    bool Terminated() const { return m_terminated.load(); }
    // Dispatches the control thread's pending events and requests; with waitForMessage,
    // waits for at least one first. Call on the control thread only.
    void ProcessRequests(bool waitForMessage);
    // The control thread while the service runs, else nullptr.
    QThread *ServiceThread() const { return m_thread; }

    // Asks the service to stop, as SIGTERM does. Any thread.
    void RequestStop();

    // Runs the service to its end: signal handling, the control thread, the main loop (a
    // QCoreApplication must exist). Reports its states through process. The exit code.
    int Run(platform::ServiceProcess &process);

private:
    friend class ServiceControlThread;
    void handleStop();
    void report(platform::ServiceState state);

    QString m_name;
    QString m_displayName;
    QThread *m_thread = nullptr;
    QObject *m_controller = nullptr; // lives in the control thread; receives stop requests
    platform::ServiceProcess *m_process = nullptr;
    std::atomic<bool> m_terminated{false};
    std::atomic<bool> m_stopping{false};
    bool m_started = false;
};

// The registration switches of the command line: install, uninstall, silent, each with a
// leading "-", "--" or "/", in any letter case.
struct ServiceCommandLine
{
    bool install = false;
    bool uninstall = false;
    bool silent = false;
    QStringList unknown; // anything else
};
ServiceCommandLine parseServiceCommandLine(const QStringList &arguments);

// Carries out install or uninstall through the service manager of this machine. Prints
// the confirmation on standard output (not with silent), a failure on standard error, and
// returns the exit code.
int registerService(const ServiceCommandLine &commandLine, const platform::ServiceSpec &spec);

// What registering this executable records: its resolved path and NORVEX_HOME when set.
platform::ServiceSpec thisServiceSpec(const QString &name, const QString &displayName);

} // namespace norvex::service
