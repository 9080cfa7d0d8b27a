#pragma once

#include "support/TestSeams.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>
#include <functional>
#include <thread>

namespace stampo::test {

// Runs the Qt event loop until `condition` holds; false at the deadline.
inline bool processEventsUntil(
    const std::function<bool()>& condition,
    std::chrono::milliseconds timeout = std::chrono::duration_cast<std::chrono::milliseconds>(deadline)) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace stampo::test
