#pragma once

#include "service/Notifier.h"

#include <memory>

namespace norvex::shared {
class TIniFileCompo;
}

namespace norvex::service {

// The service's notifier: every channel that is set up (the desktop of the user the service
// runs as, the NotifyCommand of the settings file).
std::unique_ptr<Notifier> makeServiceNotifier(const QString &installFolder,
                                              const shared::TIniFileCompo &settings);

} // namespace norvex::service
