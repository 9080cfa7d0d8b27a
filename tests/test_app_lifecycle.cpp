#include "app/SingleInstance.h"
#include "app/UnixSignals.h"
#include "kintone/WorkerThreads.h"
#include "support/WidgetTesting.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <latch>

using namespace stampo;
using namespace stampo::test;

namespace {

// Counts the knocks the running instance hears.
struct Listener {
    explicit Listener(SingleInstance& instance) {
        QObject::connect(&instance, &SingleInstance::knocked, [this] { ++knocks; });
    }
    int knocks = 0;
};

} // namespace

TEST(SingleInstance, LaterLaunchHandsOverToTheRunningOne) {
    QTemporaryDir dir;
    SingleInstance running(dir.path(), "Stampo.conf");
    ASSERT_TRUE(running.becomePrimary());
    Listener listener(running);

    for (int launch = 1; launch <= 2; ++launch) {
        SingleInstance later(dir.path(), "Stampo.conf");
        EXPECT_FALSE(later.becomePrimary());
        EXPECT_TRUE(later.knock(deadline));
        EXPECT_TRUE(processEventsUntil([&] { return listener.knocks == launch; }));
    }
    EXPECT_TRUE(SingleInstance(dir.path(), "Other.conf").becomePrimary()) << "another settings file, another instance";
}

TEST(SingleInstance, InstanceThatDiedLeavesNothingInTheWay) {
    QTemporaryDir dir;
    QProcess holder;
    holder.start(STAMPO_INSTANCE_HOLDER, {dir.path()});
    ASSERT_TRUE(holder.waitForReadyRead(30000));
    ASSERT_EQ(holder.readLine().trimmed(), "primary");
    holder.kill();
    ASSERT_TRUE(holder.waitForFinished(30000));

    // Its lock file and socket file are still there.
    SingleInstance next(dir.path(), "Stampo.conf");
    ASSERT_TRUE(next.becomePrimary());
    Listener listener(next);
    EXPECT_TRUE(SingleInstance(dir.path(), "Stampo.conf").knock(deadline));
    EXPECT_TRUE(processEventsUntil([&] { return listener.knocks == 1; }));
}

TEST(SingleInstance, KnockGivesUpWhenTheRunningInstanceCannotBeReached) {
    QTemporaryDir dir;
    SingleInstance running(dir.path(), "Stampo.conf");
    ASSERT_TRUE(running.becomePrimary());
    const QStringList sockets = QDir(dir.path()).entryList({"*.socket"}, QDir::System);
    ASSERT_EQ(sockets.size(), 1);
    ASSERT_TRUE(QFile::remove(dir.filePath(sockets.first())));

    SingleInstance later(dir.path(), "Stampo.conf");
    EXPECT_FALSE(later.becomePrimary());
    EXPECT_FALSE(later.knock(200ms));
}

TEST(UnixSignals, EachSignalReachesTheEventLoop) {
    UnixSignals unixSignals({SIGTERM, SIGINT, SIGHUP});
    std::vector<int> received;
    QObject::connect(&unixSignals, &UnixSignals::received, [&](int number) { received.push_back(number); });

    const std::vector<int> raised = {SIGTERM, SIGINT, SIGHUP, SIGTERM};
    for (const int number : raised)
        std::raise(number);
    EXPECT_TRUE(processEventsUntil([&] { return received.size() == raised.size(); }));
    EXPECT_EQ(received, raised);
}

TEST(WorkerThreads, IdleOnlyOnceEveryWorkerHasEnded) {
    WorkerThreads workers;
    EXPECT_TRUE(workers.waitIdle(0ms));

    std::latch release(1);
    const auto start = workers.starter();
    ASSERT_TRUE(start([&] { release.wait(); }));
    ASSERT_TRUE(start([] {}));
    EXPECT_EQ(workers.started(), 2);
    EXPECT_FALSE(workers.waitIdle(50ms));

    release.count_down();
    EXPECT_TRUE(workers.waitIdle(deadline));

    // What the work holds (a session, its connection) goes before the thread counts as ended: the process's teardown
    // may follow at once.
    struct Held {
        std::latch& gate;
        ~Held() { gate.wait(); }
    };
    std::latch letGo(1);
    ASSERT_TRUE(start([held = std::make_shared<Held>(letGo)] {}));
    EXPECT_FALSE(workers.waitIdle(50ms));
    letGo.count_down();
    EXPECT_TRUE(workers.waitIdle(deadline));
}
