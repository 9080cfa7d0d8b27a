#pragma once

#include <functional>

namespace stampo {

// Runs work on the main (user-interface) thread, later and in order; never waits for it.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    virtual void async(std::function<void()> work) = 0;
};

} // namespace stampo
