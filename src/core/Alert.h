#pragma once

#include <string>

namespace stampo {

// Shows one Japanese message to the user and returns once it has been dismissed.
// Called on the main thread only; other threads go through MainQueue.
class Alert {
public:
    virtual ~Alert() = default;
    virtual void show(const std::string& message) = 0;
};

} // namespace stampo
