#pragma once

// How the service tells a person about a job: on the first failure of a streak, on a stale
// alarm and on the first success after failures. The run and the scheduler decide when;
// a Notifier delivers (desktop, the user's command, ...). One call per event, never one per
// retry.

#include <QString>

namespace norvex::service {

enum class NotifyEvent { Failed, Stale, Recovered };

// "failed", "stale", "recovered": the names the notification command receives.
QString notifyEventName(NotifyEvent event);

class Notifier
{
public:
    virtual ~Notifier() = default;
    // job: the backupname; text: what happened, as the event log entry says it. Called
    // from any thread; must not throw and must not block a run for long (a slow command
    // runs beside the run).
    virtual void notify(const QString &job, NotifyEvent event, const QString &text) = 0;
    // At service stop: delivers what is pending for at most waitMs, then gives up on the
    // rest; later events are dropped.
    virtual void finish(int waitMs) { (void)waitMs; }
};

} // namespace norvex::service
