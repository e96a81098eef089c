#include "service/CommandNotifier.h"

#include "shared/EventLog.h"

#include <QDateTime>

namespace norvex::service {

CommandNotifier::CommandNotifier(const QString &installFolder, const QString &command,
                                 int timeoutMs)
    : m_installFolder(installFolder), m_command(command), m_timeoutMs(timeoutMs)
{
}

CommandNotifier::~CommandNotifier()
{
    m_queue.finish(0);
}

void CommandNotifier::notify(const QString &job, NotifyEvent event, const QString &text)
{
    m_queue.post([folder = m_installFolder, command = m_command, timeoutMs = m_timeoutMs, job,
                  eventName = notifyEventName(event), text](const std::atomic<bool> &cancel) {
        const QString reason =
            shared::runNotifyCommand(command, job, eventName, text, timeoutMs, &cancel);
        if (!reason.isEmpty())
            shared::WriteLog(folder, shared::LogError,
                             job + QStringLiteral(" 通知コマンドの実行に失敗しました。\t") + reason,
                             QDateTime::currentDateTime());
    });
}

void CommandNotifier::finish(int waitMs)
{
    m_queue.finish(waitMs);
}

} // namespace norvex::service
