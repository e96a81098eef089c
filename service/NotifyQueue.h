#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace norvex::service {

// One thread that runs a channel's deliveries in the order they were posted, beside the
// runs: a slow command or a bus that does not answer delays only later notifications.
class NotifyQueue
{
public:
    // A delivery; it should end soon once cancel is true.
    using Task = std::function<void(const std::atomic<bool> &cancel)>;

    NotifyQueue();
    // finish(0).
    ~NotifyQueue();
    NotifyQueue(const NotifyQueue &) = delete;
    NotifyQueue &operator=(const NotifyQueue &) = delete;

    // Never blocks. After finish the task is dropped.
    void post(Task task);
    // Waits until every posted task has run or waitMs has passed; then cancels the task
    // that runs, drops the rest and waits a moment for the thread. A thread stuck in a call
    // that cannot be cancelled is left to the end of the process instead of holding up the
    // stop.
    void finish(int waitMs);

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace norvex::service
