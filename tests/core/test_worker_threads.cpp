#include "kintone/WorkerThreads.h"
#include "support/TestSeams.h"

#include <gtest/gtest.h>

#include <latch>
#include <memory>

using namespace std::chrono_literals;
using stampo::WorkerThreads;
using stampo::test::deadline;

TEST(WorkerThreads, IdleOnlyOnceEveryWorkerAndWhatItHoldsHaveEnded) {
    WorkerThreads workers;
    EXPECT_TRUE(workers.waitIdle(0ms));

    // What the work holds (a session, its connection) goes before the thread counts as ended: the process's teardown
    // may follow at once.
    struct Held {
        std::latch& gate;
        ~Held() { gate.wait(); }
    };
    std::latch release(1), letGo(1);
    const auto start = workers.starter();
    ASSERT_TRUE(start([&] { release.wait(); }));
    ASSERT_TRUE(start([held = std::make_shared<Held>(letGo)] {}));
    EXPECT_EQ(workers.started(), 2);
    EXPECT_FALSE(workers.waitIdle(50ms));
    release.count_down();
    EXPECT_FALSE(workers.waitIdle(50ms)) << "idle while what a worker held was still there";
    letGo.count_down();
    EXPECT_TRUE(workers.waitIdle(deadline));
}
