#include "service/ServiceNotifier.h"

#include "platform/Paths.h"
#include "service/CommandNotifier.h"
#include "service/DesktopNotifier.h"
#include "shared/Options.h"

#include <QDeadlineTimer>
#include <QFileInfo>

#include <vector>

namespace norvex::service {

namespace {

class ChannelsNotifier : public Notifier
{
public:
    void add(std::unique_ptr<Notifier> channel) { m_channels.push_back(std::move(channel)); }

    void notify(const QString &job, NotifyEvent event, const QString &text) override
    {
        for (const auto &channel : m_channels)
            channel->notify(job, event, text);
    }

    // One bound for all channels together: they deliver at the same time anyway.
    void finish(int waitMs) override
    {
        const QDeadlineTimer deadline(waitMs);
        for (const auto &channel : m_channels)
            channel->finish(int(deadline.remainingTime()));
    }

private:
    std::vector<std::unique_ptr<Notifier>> m_channels;
};

} // namespace

std::unique_ptr<Notifier> makeServiceNotifier(const QString &installFolder,
                                              const shared::TIniFileCompo &settings,
                                              const QProcessEnvironment &environment)
{
    auto notifier = std::make_unique<ChannelsNotifier>();
    const QString bus = sessionBusAddress(environment);
    if (!bus.isEmpty()) {
        // A packaged install keeps the icon with the programs' files, not with the data.
        QString icon = installFolder + QStringLiteral("icons/norvex.svg");
        if (!QFileInfo(icon).isFile())
            icon = platform::programFilesFolder() + QStringLiteral("icons/norvex.svg");
        notifier->add(
            std::make_unique<DesktopNotifier>(bus, QFileInfo(icon).isFile() ? icon : QString()));
    }
    const QString command = shared::readNotifyCommand(settings).trimmed();
    if (!command.isEmpty())
        notifier->add(std::make_unique<CommandNotifier>(installFolder, command));
    return notifier;
}

} // namespace norvex::service
