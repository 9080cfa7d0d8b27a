#pragma once

#include "kintone/TransportOptions.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace stampo {

// Starts every worker thread of the program detached (the kintone client's, the work start's and end's, the power
// events' handlers, the keyring's) and counts those still running, so that a quitting process can give the requests
// in flight (a work end sent as the machine powers off) a moment to finish.
class WorkerThreads final {
public:
    TransportOptions::ThreadStarter starter() const;
    int started() const;
    // True once every thread started so far has ended; false when `timeout` passed first.
    bool waitIdle(std::chrono::milliseconds timeout) const;

private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable ended;
        int started = 0;
        int running = 0;
    };
    const std::shared_ptr<State> m_state = std::make_shared<State>();
};

} // namespace stampo
