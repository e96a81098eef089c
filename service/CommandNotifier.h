#pragma once

#include "service/Notifier.h"
#include "service/NotifyQueue.h"
#include "shared/NotifyCommand.h"

namespace norvex::service {

// Runs the user's NotifyCommand for each event, one after another on a thread of its own.
// A command that fails, or runs past its limit, is written as an error entry in the event
// log of installFolder: "<job> 通知コマンドの実行に失敗しました。" and the reason.
class CommandNotifier : public Notifier
{
public:
    CommandNotifier(const QString &installFolder, const QString &command,
                    int timeoutMs = shared::NotifyCommandTimeoutMs);
    ~CommandNotifier() override;

    void notify(const QString &job, NotifyEvent event, const QString &text) override;
    void finish(int waitMs) override;

private:
    QString m_installFolder;
    QString m_command;
    int m_timeoutMs;
    NotifyQueue m_queue;
};

} // namespace norvex::service
