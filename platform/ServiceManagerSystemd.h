#pragma once

#include "platform/ServiceManager.h"

#include <QByteArray>

namespace norvex::platform {

// What one systemctl call gave back.
struct SystemctlResult
{
    bool ran = false; // false: not started or timed out (error says which)
    int error = 0;    // errno when ran is false
    int exitCode = 0;
    QByteArray out;
    QByteArray err;
};

struct SystemdUnitStatus
{
    QString loadState;     // loaded, not-found, masked, error, ...
    QString activeState;   // active, activating, deactivating, inactive, failed, reloading
    QString unitFileState; // enabled, disabled, masked, ...
};

// The unit name for a service key name: "Norvex" -> "norvex.service".
QString systemdUnitName(const QString &serviceName);
// systemd refuses to run a program whose path holds a control character, a backslash or
// a quotation mark, however the unit quotes it.
bool systemdCanRun(const QString &executable);
// The unit file's text (a user unit wants default.target instead of multi-user.target).
QString systemdUnitText(const ServiceSpec &spec, bool userUnit);
// The program a unit's ExecStart= runs (its first word, unquoted); empty when none.
QString systemdUnitExecutable(const QByteArray &unitText);
// Parses "systemctl show --property=LoadState,ActiveState,UnitFileState" output.
SystemdUnitStatus parseSystemctlShow(const QByteArray &output);
// The unit's status from a "systemctl show" call; throws NotInstalled for a unit systemd
// does not know and the mapped failure for a call that failed.
SystemdUnitStatus unitStatusFromShow(const SystemctlResult &result);
// The state numbers: active and reloading -> 3, activating -> 1, deactivating -> 2,
// everything else -> 0.
ServiceState systemdState(const SystemdUnitStatus &status);
// The error for a systemctl call that failed.
ServiceError systemctlFailure(const SystemctlResult &result);

// The service manager on machines that run systemd: a system unit when run as root, a
// user unit otherwise; everything goes through systemctl. Where a package installed a
// unit that runs the same program, install and uninstall enable and disable that unit
// instead of writing their own.
class SystemdServiceManager : public ServiceManager
{
public:
    SystemdServiceManager();

    QString backendName() const override { return QStringLiteral("systemd"); }
    void install(const ServiceSpec &spec) override;
    void uninstall(const QString &name) override;
    void checkInstalled(const QString &name) override;
    ServiceState queryState(const QString &name) override;
    void start(const QString &name, const QStringList &arguments) override;
    void stop(const QString &name) override;

    // Where install writes the unit: NORVEX_SYSTEMD_UNIT_DIR when set, else
    // /etc/systemd/system for root, the user's systemd/user configuration folder otherwise.
    QString unitFolder(bool userUnit) const;

    // Where a package puts its units (/usr/lib/systemd/{user,system}); empty while
    // NORVEX_SYSTEMD_UNIT_DIR moves the unit folder.
    QString packagedUnitFolder(bool userUnit) const;

private:
    QString packagedUnitFor(bool userUnit, const QString &name) const;
    bool packagedUnitRuns(bool userUnit, const ServiceSpec &spec) const;
    void enablePackagedUnit(bool userUnit, const QString &name);
    bool useUserScope(const QString &name) const;
    SystemctlResult systemctl(bool userScope, const QStringList &arguments) const;
    SystemdUnitStatus status(bool userScope, const QString &name) const;

    bool m_root;
};

} // namespace norvex::platform
