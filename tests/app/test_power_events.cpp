#include "PowerEvents.h"
#include "kintone/WorkerThreads.h"
#include "support/LogindMock.h"

#include <QElapsedTimer>

#include <latch>
#include <memory>

using namespace stampo;
using namespace stampo::test;

namespace {

TEST(PowerEvents, LockIsHeldFromLogindsStartAndGoesWhenTheHandlerReturnsOrAtTheDeadlineWhicheverIsFirst) {
    PrivateBus bus;
    // The deadline first, or the handler's return, with the object gone meanwhile (AppDelegateTest's sleep: without).
    for (const bool deadlineFirst : {true, false}) {
        SCOPED_TRACE(deadlineFirst ? "the deadline first" : "the object gone, then the handler's return");
        const auto maxDelay = deadlineFirst ? 200ms : std::chrono::milliseconds(1h);
        // The handler waits until the test lets it return.
        struct Gate {
            std::latch entered{1}, open{1};
        };
        const auto gate = std::make_shared<Gate>();
        // The handler's thread is one the end of the run waits for.
        WorkerThreads workers;
        auto events = std::make_unique<PowerEvents>(
            bus.connection(),
            [gate](std::chrono::steady_clock::time_point) {
                gate->entered.count_down();
                gate->open.wait();
            },
            workers.starter(), maxDelay);
        // logind may come up after the application.
        const LogindMock logind(bus);
        const auto locked = [&] { return events && events->holdsLock() && logind.inhibitors() == LogindMock::ourLock; };
        ASSERT_TRUE(pollUntil(locked));
        // A process started meanwhile would keep an inherited lock, holding up every sleep as long as it runs.
        ChildProcess child({"/usr/bin/tail", "-f", "/dev/null"});
        ASSERT_TRUE(child.running());
        QElapsedTimer elapsed;
        elapsed.start();
        ASSERT_TRUE(logind.emitSignal("PrepareForSleep", true));
        ASSERT_TRUE(pollUntil([&] { return events->isHandling() && gate->entered.try_wait(); }));
        EXPECT_FALSE(workers.waitIdle(0ms)) << "the handler runs on a thread nobody waits for";

        if (deadlineFirst) {
            EXPECT_TRUE(pollUntil([&] { return logind.inhibitors().isEmpty(); }));
            EXPECT_GE(elapsed.elapsed(), maxDelay.count());
            EXPECT_TRUE(events->isHandling());
            // The lock taken on waking is not the one the late handler's return releases.
            ASSERT_TRUE(logind.emitSignal("PrepareForSleep", false));
            ASSERT_TRUE(pollUntil(locked));
            gate->open.count_down();
            ASSERT_TRUE(pollUntil([&] { return !events->isHandling(); }));
            EXPECT_TRUE(locked());
            events.reset();
            EXPECT_TRUE(pollUntil([&] { return logind.inhibitors().isEmpty(); }));
        } else {
            // The application quits during the work end: the handler finishes and then lets the machine go.
            events.reset();
            EXPECT_EQ(logind.inhibitors(), LogindMock::ourLock);
            gate->open.count_down();
            EXPECT_TRUE(pollUntil([&] { return logind.inhibitors().isEmpty(); }));
            EXPECT_TRUE(workers.waitIdle(deadline));
        }
    }
}

} // namespace
