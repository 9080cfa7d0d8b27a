#include "kintone/WorkerThreads.h"

#include <utility>

namespace stampo {

TransportOptions::ThreadStarter WorkerThreads::starter() const {
    return [state = m_state](std::function<void()> work) {
        {
            std::lock_guard lock(state->mutex);
            ++state->started;
            ++state->running;
        }
        // The thread holds the state, so it may outlive this object.
        const bool started = TransportOptions::startDetachedThread([state, work = std::move(work)]() mutable {
            work();
            // What the work holds (a session and its curl handle) goes first: once idle, the process may tear down
            // curl and TLS.
            work = nullptr;
            std::lock_guard lock(state->mutex);
            --state->running;
            state->ended.notify_all();
        });
        if (!started) {
            std::lock_guard lock(state->mutex);
            --state->started;
            --state->running;
        }
        return started;
    };
}

int WorkerThreads::started() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->started;
}

bool WorkerThreads::waitIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_state->mutex);
    return m_state->ended.wait_for(lock, timeout, [this] { return m_state->running == 0; });
}

} // namespace stampo
