#include "service/NotifyQueue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace norvex::service {

namespace {

// How long a cancelled delivery gets to end before its thread is left behind: a killed
// command is reaped within it even on a busy machine.
constexpr auto CancelGrace = std::chrono::seconds(10);

} // namespace

struct NotifyQueue::State
{
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Task> tasks;
    bool busy = false;
    bool closed = false;
    bool done = false;
    std::atomic<bool> cancel{false};
};

NotifyQueue::NotifyQueue() : m_state(std::make_shared<State>())
{
    m_thread = std::thread([state = m_state] {
        std::unique_lock<std::mutex> lock(state->mutex);
        for (;;) {
            state->changed.wait(lock, [&] { return state->closed || !state->tasks.empty(); });
            if (state->tasks.empty())
                break;
            Task task = std::move(state->tasks.front());
            state->tasks.pop_front();
            state->busy = true;
            lock.unlock();
            try {
                task(state->cancel);
            } catch (...) {
                // A delivery that fails must not end the deliveries after it.
            }
            task = nullptr;
            lock.lock();
            state->busy = false;
            state->changed.notify_all();
        }
        state->done = true;
        state->changed.notify_all();
    });
}

NotifyQueue::~NotifyQueue()
{
    finish(0);
}

void NotifyQueue::post(Task task)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->closed)
        return;
    m_state->tasks.push_back(std::move(task));
    m_state->changed.notify_all();
}

void NotifyQueue::finish(int waitMs)
{
    if (!m_thread.joinable())
        return;
    State &state = *m_state;
    {
        std::unique_lock<std::mutex> lock(state.mutex);
        state.changed.wait_for(lock, std::chrono::milliseconds(std::max(waitMs, 0)),
                               [&] { return state.tasks.empty() && !state.busy; });
        state.closed = true;
        state.tasks.clear();
        state.cancel = true;
        state.changed.notify_all();
        if (!state.changed.wait_for(lock, CancelGrace, [&] { return state.done; })) {
            lock.unlock();
            m_thread.detach();
            return;
        }
    }
    m_thread.join();
}

} // namespace norvex::service
