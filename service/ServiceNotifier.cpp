#include "service/ServiceNotifier.h"

namespace norvex::service {

namespace {

class SilentNotifier : public Notifier
{
public:
    void notify(const QString &, NotifyEvent, const QString &) override {}
};

} // namespace

std::unique_ptr<Notifier> makeServiceNotifier(const QString &, const shared::TIniFileCompo &)
{
    return std::make_unique<SilentNotifier>();
}

} // namespace norvex::service
