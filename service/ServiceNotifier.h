#pragma once

#include "service/Notifier.h"

#include <QProcessEnvironment>

#include <memory>

namespace norvex::shared {
class TIniFileCompo;
}

namespace norvex::service {

// The service's notifier: every channel that is set up (the desktop of the user the service
// runs as, the NotifyCommand of the settings file), each delivering on its own thread.
std::unique_ptr<Notifier> makeServiceNotifier(
    const QString &installFolder, const shared::TIniFileCompo &settings,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

// How long a stop waits for the notifications still being delivered.
inline constexpr int NotifyStopWaitMs = 10000;

} // namespace norvex::service
