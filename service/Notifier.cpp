#include "service/Notifier.h"

#include "shared/NotifyCommand.h"

namespace norvex::service {

QString notifyEventName(NotifyEvent event)
{
    switch (event) {
    case NotifyEvent::Failed:
        return QLatin1String(shared::NotifyFailed);
    case NotifyEvent::Stale:
        return QLatin1String(shared::NotifyStale);
    case NotifyEvent::Recovered:
        return QLatin1String(shared::NotifyRecovered);
    }
    return {};
}

} // namespace norvex::service
