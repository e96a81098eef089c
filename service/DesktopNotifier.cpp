#include "service/DesktopNotifier.h"

#include <QAtomicInteger>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QUrl>
#include <QVariantMap>

namespace norvex::service {

namespace {

const QString NotificationsService = QStringLiteral("org.freedesktop.Notifications");
const QString NotificationsPath = QStringLiteral("/org/freedesktop/Notifications");

// Urgency levels of the notification protocol.
constexpr uchar UrgencyNormal = 1;
constexpr uchar UrgencyCritical = 2;

QAtomicInteger<int> g_connectionCount;

} // namespace

QString sessionBusAddress(const QProcessEnvironment &environment)
{
    const QString address = environment.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    if (!address.isEmpty())
        return address;
    const QString runtime = environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
    if (runtime.isEmpty())
        return {};
    const QString socket = runtime + QStringLiteral("/bus");
    if (!QFileInfo(socket).exists())
        return {};
    return QStringLiteral("unix:path=") + socket;
}

QString notificationBody(const QString &job, const QString &text)
{
    QString rest = text;
    if (rest.startsWith(job + QLatin1Char(' ')))
        rest = rest.mid(job.size() + 1);
    rest.replace(QLatin1Char('\t'), QLatin1Char('\n'));
    return rest.isEmpty() ? job : job + QLatin1Char('\n') + rest;
}

// The connection, used on the queue's thread only; made again after the bus went away.
struct DesktopNotifier::Session
{
    QString address;
    QString icon;
    int timeoutMs = 0;
    QString name;
    bool connected = false;
    bool markup = false;

    ~Session() { drop(); }

    void drop()
    {
        if (connected)
            QDBusConnection::disconnectFromBus(name);
        connected = false;
    }

    bool connect()
    {
        if (connected && QDBusConnection(name).isConnected())
            return true;
        drop();
        QDBusConnection bus = QDBusConnection::connectToBus(address, name);
        connected = true; // disconnectFromBus also after a failed attempt
        if (!bus.isConnected()) {
            drop();
            return false;
        }
        // A server that reads markup would swallow a body with "<" or "&" in a job name.
        const QDBusMessage reply = bus.call(
            QDBusMessage::createMethodCall(NotificationsService, NotificationsPath,
                                           NotificationsService, QStringLiteral("GetCapabilities")),
            QDBus::Block, timeoutMs);
        markup = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
                 reply.arguments().first().toStringList().contains(QStringLiteral("body-markup"));
        return true;
    }

    void send(const QString &job, NotifyEvent event, const QString &text)
    {
        if (!connect())
            return;
        QDBusMessage call =
            QDBusMessage::createMethodCall(NotificationsService, NotificationsPath,
                                           NotificationsService, QStringLiteral("Notify"));
        QVariantMap hints;
        hints.insert(QStringLiteral("urgency"),
                     QVariant::fromValue<uchar>(event == NotifyEvent::Recovered ? UrgencyNormal
                                                                                : UrgencyCritical));
        const QString body = notificationBody(job, text);
        call << QStringLiteral("Norvex") << uint(0) << icon << QStringLiteral("Norvex")
             << (markup ? body.toHtmlEscaped() : body) << QStringList() << hints << int(-1);
        const QDBusMessage reply = QDBusConnection(name).call(call, QDBus::Block, timeoutMs);
        if (reply.type() == QDBusMessage::ErrorMessage && !QDBusConnection(name).isConnected())
            drop();
    }
};

DesktopNotifier::DesktopNotifier(const QString &busAddress, const QString &icon, int callTimeoutMs)
    : m_session(std::make_shared<Session>())
{
    m_session->address = busAddress;
    // The protocol takes a file:// URI or an icon theme name.
    m_session->icon = icon.isEmpty() ? QString() : QUrl::fromLocalFile(icon).toString();
    m_session->timeoutMs = callTimeoutMs;
    m_session->name =
        QStringLiteral("norvex-desktop-notifier-%1").arg(g_connectionCount.fetchAndAddRelaxed(1));
}

DesktopNotifier::~DesktopNotifier()
{
    m_queue.finish(0);
}

void DesktopNotifier::notify(const QString &job, NotifyEvent event, const QString &text)
{
    m_queue.post([session = m_session, job, event, text](const std::atomic<bool> &cancel) {
        if (!cancel)
            session->send(job, event, text);
    });
}

void DesktopNotifier::finish(int waitMs)
{
    m_queue.finish(waitMs);
}

} // namespace norvex::service
