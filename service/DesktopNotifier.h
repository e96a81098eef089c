#pragma once

#include "service/Notifier.h"
#include "service/NotifyQueue.h"

#include <QProcessEnvironment>

#include <memory>

namespace norvex::service {

// The address of the session bus of the person the service runs for: DBUS_SESSION_BUS_ADDRESS,
// else the bus socket in XDG_RUNTIME_DIR when it exists. Empty when there is none (a system
// service of root has neither), and the desktop channel is then off.
QString sessionBusAddress(const QProcessEnvironment &environment);

// A desktop notification (org.freedesktop.Notifications) per event: summary "Norvex", the
// job name and the text as body, critical urgency for failures and stale alarms. Calls run
// on a thread of their own with a short time-out; a bus that is gone or a notification
// server that is missing loses the notification and nothing else.
class DesktopNotifier : public Notifier
{
public:
    // icon: an icon file, or empty for the server's default.
    DesktopNotifier(const QString &busAddress, const QString &icon, int callTimeoutMs = 5000);
    ~DesktopNotifier() override;

    void notify(const QString &job, NotifyEvent event, const QString &text) override;
    void finish(int waitMs) override;

private:
    struct Session;
    std::shared_ptr<Session> m_session;
    NotifyQueue m_queue;
};

// The body of a notification: the job name, then the text without the job name it starts
// with, its additional text on a line of its own.
QString notificationBody(const QString &job, const QString &text);

} // namespace norvex::service
