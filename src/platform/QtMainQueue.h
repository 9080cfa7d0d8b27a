#pragma once

#include "MainQueue.h"

namespace stampo {

// The main queue of a Qt application: work is queued to the QCoreApplication's thread.
class QtMainQueue final : public MainQueue {
public:
    void async(std::function<void()> work) override;
};

} // namespace stampo
