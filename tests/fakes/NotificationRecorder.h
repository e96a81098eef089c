#pragma once

// A desktop's notification server (org.freedesktop.Notifications) that shows nothing and
// records every call, served by the thread of the connection it is registered on: a test
// that waits with QTRY_* lets it answer, a test that does not is a server that hangs.

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

namespace norvex::testing {

struct RecordedNotification
{
    QString appName;
    uint replacesId = 0;
    QString icon;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    int expireTimeout = 0;
};

class NotificationRecorder : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    // Connects to the bus at busAddress and takes the server's name there. capabilities:
    // what GetCapabilities answers ("body-markup" makes a client escape its body).
    explicit NotificationRecorder(const QString &busAddress,
                                  QStringList capabilities = {QStringLiteral("body")})
        : m_capabilities(std::move(capabilities)),
          m_name(QStringLiteral("notification-recorder-%1").arg(quintptr(this)))
    {
        QDBusConnection bus = QDBusConnection::connectToBus(busAddress, m_name);
        m_registered = bus.isConnected() &&
                       bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                          QDBusConnection::ExportAllSlots) &&
                       bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }

    // Gives the name back, so that the next recorder on the bus can take it.
    ~NotificationRecorder() override
    {
        QDBusConnection bus(m_name);
        bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
        QDBusConnection::disconnectFromBus(m_name);
    }

    // Whether the server's name is ours on the bus.
    bool registered() const { return m_registered; }

    const QList<RecordedNotification> &received() const { return m_received; }

public slots:
    QStringList GetCapabilities() { return m_capabilities; }

    uint Notify(const QString &appName, uint replacesId, const QString &icon,
                const QString &summary, const QString &body, const QStringList &actions,
                const QVariantMap &hints, int expireTimeout)
    {
        m_received.append(
            {appName, replacesId, icon, summary, body, actions, hints, expireTimeout});
        return uint(m_received.size());
    }

    void CloseNotification(uint) {}

    QString GetServerInformation(QString &vendor, QString &version, QString &specVersion)
    {
        vendor = QStringLiteral("Norvex tests");
        version = QStringLiteral("1");
        specVersion = QStringLiteral("1.2");
        return QStringLiteral("NotificationRecorder");
    }

private:
    QStringList m_capabilities;
    QString m_name;
    bool m_registered = false;
    QList<RecordedNotification> m_received;
};

} // namespace norvex::testing
