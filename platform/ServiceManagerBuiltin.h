#pragma once

#include "platform/ServiceManager.h"

namespace norvex::platform {

// The service manager for machines without systemd. A registered service is a record
// "<name>.conf" in the registry folder; a running one holds the lock "<name>.lock" beside
// it and writes its state there. Start launches the executable as a daemon (own session,
// standard streams on /dev/null) under the caller's user; stop sends it SIGTERM.
class BuiltinServiceManager : public ServiceManager
{
public:
    explicit BuiltinServiceManager(QString registryFolder);

    // NORVEX_SERVICE_REGISTRY when set, else /etc/norvex/services.
    static QString defaultRegistry();

    QString backendName() const override { return QStringLiteral("builtin"); }
    void install(const ServiceSpec &spec) override;
    void uninstall(const QString &name) override;
    void checkInstalled(const QString &name) override;
    ServiceState queryState(const QString &name) override;
    void start(const QString &name, const QStringList &arguments) override;
    void stop(const QString &name) override;

    const QString &registry() const { return m_registry; }
    QString recordPath(const QString &name) const;
    QString lockPath(const QString &name) const;

private:
    struct Record
    {
        QString executable;
        QString home;
        bool disabled = false;
    };
    Record readRecord(const QString &name) const;
    void requireWritableRegistry() const;
    bool waitForLock(const QString &name, bool held, int processId) const;

    QString m_registry;
};

} // namespace norvex::platform
