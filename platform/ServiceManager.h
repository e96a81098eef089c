#pragma once

#include <QString>
#include <QStringList>
#include <exception>
#include <memory>

namespace norvex::platform {

// The state numbers the control client reports.
enum class ServiceState : int {
    Stopped = 0,
    StartPending = 1,
    StopPending = 2,
    Running = 3,
    ContinuePending = 4,
    PausePending = 5,
    Paused = 6,
};

// Error codes of the service-manager layer. A failed system call carries its errno; the
// conditions of the service manager itself carry the numbers Windows uses for them, which
// lie above every errno value, so one code space serves both.
namespace ServiceErrorCode {
inline constexpr int AccessDenied = 13; // EACCES
// Ours: the service manager refused a request for a reason of its own (its message follows).
inline constexpr int ManagerFailed = 1000;
inline constexpr int NoResponse = 1053;
inline constexpr int AlreadyRunning = 1056;
inline constexpr int Disabled = 1058;
inline constexpr int NotInstalled = 1060;
inline constexpr int NotRunning = 1062;
inline constexpr int AlreadyInstalled = 1073;
} // namespace ServiceErrorCode

// The Japanese text for a code: the service conditions above, else the errno text.
QString serviceErrorText(int code);

class ServiceError : public std::exception
{
public:
    // detail, when given, is appended to the code's text (a tool's own message, a path).
    explicit ServiceError(int code, const QString &detail = QString());

    int code() const noexcept { return m_code; }
    const QString &text() const noexcept { return m_text; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    int m_code;
    QString m_text;
    QByteArray m_utf8;
};

// What registration records about a service.
struct ServiceSpec
{
    QString name;        // key name, "Norvex"
    QString displayName; // "Norvex"
    QString executable;  // absolute path of the program to run
    QString home;        // NORVEX_HOME to give the service; empty: none
};

// One service manager (systemd or the built-in one). Every operation either does what it
// says or throws ServiceError; nothing is reported as done that was not.
class ServiceManager
{
public:
    virtual ~ServiceManager() = default;

    virtual QString backendName() const = 0;
    virtual void install(const ServiceSpec &spec) = 0;
    // Stops the service when it runs, then removes its registration.
    virtual void uninstall(const QString &name) = 0;
    // Throws NotInstalled when no such service is registered.
    virtual void checkInstalled(const QString &name) = 0;
    virtual ServiceState queryState(const QString &name) = 0;
    // Returns once the manager has accepted the request; the state is polled for the rest.
    virtual void start(const QString &name, const QStringList &arguments) = 0;
    virtual void stop(const QString &name) = 0;

    // Upper bound for one request (a systemctl call, a launch), in milliseconds.
    void setTimeout(int ms) { m_timeoutMs = ms > 0 ? ms : 1; }
    int timeout() const { return m_timeoutMs; }

    // systemd when /run/systemd/system exists, the built-in manager otherwise;
    // NORVEX_SERVICE_MANAGER=systemd|builtin forces one.
    static std::unique_ptr<ServiceManager> create();

private:
    int m_timeoutMs = 20000;
};

} // namespace norvex::platform
