#include "app/AppDelegate.h"
#include "app/Attendance.h"
#include "app/PowerEvents.h"
#include "app/QSettingsStore.h"
#include "app/QtMainQueue.h"
#include "support/AttendanceRig.h"
#include "support/KintoneTest.h"
#include "support/LogindMock.h"
#include "support/WidgetTesting.h"
#include "widgets/FormWindow.h"
#include "widgets/Notifications.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <chrono>
#include <memory>

using namespace stampo;
using namespace stampo::test;
using namespace std::chrono_literals;

namespace {

const QString prepareForSleep = QStringLiteral("PrepareForSleep");
const QString prepareForShutdown = QStringLiteral("PrepareForShutdown");
const QList<QStringList> ourLock{{"sleep:shutdown", "Stampo", "勤務終了を送信しています", "delay"}};

QDBusConnection noBus() {
    return QDBusConnection(QStringLiteral("no system bus"));
}

// Where a handler waits until the test lets it return.
class Gate final : Monitor {
public:
    void pass() {
        change([&] { ++m_entered; });
        waitUntil([&] { return m_open; });
    }
    bool waitEntered() const {
        return waitUntil([&] { return m_entered > 0; });
    }
    void open() {
        change([&] { m_open = true; });
    }

private:
    int m_entered = 0;
    bool m_open = false;
};

class PowerEventsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bus.connected()) << "no private D-Bus daemon"; }

    PrivateBus bus;
};

TEST_F(PowerEventsTest, HoldsTheDelayLockFromTheStartUntilDestroyedAndKeepsItFromChildProcesses) {
    LogindMock logind(bus);
    ASSERT_TRUE(logind.running());
    auto events = std::make_unique<PowerEvents>(bus.connection(), [] {});
    ASSERT_TRUE(pollUntil([&] { return events->holdsLock(); }));
    EXPECT_EQ(logind.inhibitors(), ourLock);

    // A process started meanwhile would keep an inherited lock, holding up every sleep as long as it runs.
    ChildProcess child({"/usr/bin/tail", "-f", "/dev/null"});
    ASSERT_TRUE(child.running());
    events.reset();
    EXPECT_TRUE(pollUntil([&] { return logind.inhibitors().isEmpty(); }));
}

TEST_F(PowerEventsTest, LockGoesWhenTheHandlerReturnsOrAtTheDeadlineWhicheverIsFirstAndOnlyOnce) {
    enum class First { HandlerReturns, Deadline, ObjectGone };
    struct Case {
        const char* what;
        First first;
        std::chrono::milliseconds maxDelay;
    };
    const Case cases[] = {
        {"handler returns", First::HandlerReturns, 1h},
        {"deadline", First::Deadline, 200ms},
        {"object gone", First::ObjectGone, 1h},
    };
    LogindMock logind(bus);
    ASSERT_TRUE(logind.running());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto gate = std::make_shared<Gate>();
        auto events = std::make_unique<PowerEvents>(
            bus.connection(), [gate] { gate->pass(); }, c.maxDelay);
        ASSERT_TRUE(pollUntil([&] { return events->holdsLock() && logind.inhibitors() == ourLock; }));
        QElapsedTimer elapsed;
        elapsed.start();
        ASSERT_TRUE(logind.emitSignal(prepareForSleep, true));
        ASSERT_TRUE(pollUntil([&] { return events->isHandling(); }));
        ASSERT_TRUE(gate->waitEntered());

        switch (c.first) {
        case First::HandlerReturns:
            EXPECT_EQ(logind.inhibitors(), ourLock);
            gate->open();
            EXPECT_TRUE(pollUntil([&] { return logind.inhibitors().isEmpty() && !events->isHandling(); }));
            break;
        case First::Deadline:
            EXPECT_TRUE(pollUntil([&] { return logind.inhibitors().isEmpty(); }));
            EXPECT_GE(elapsed.elapsed(), c.maxDelay.count());
            EXPECT_TRUE(events->isHandling());
            // The lock taken on waking is not the one the late handler's return releases.
            ASSERT_TRUE(logind.emitSignal(prepareForSleep, false));
            ASSERT_TRUE(pollUntil([&] { return events->holdsLock() && logind.inhibitors() == ourLock; }));
            gate->open();
            ASSERT_TRUE(pollUntil([&] { return !events->isHandling(); }));
            EXPECT_EQ(logind.inhibitors(), ourLock);
            EXPECT_TRUE(events->holdsLock());
            break;
        case First::ObjectGone:
            // The application quits during the work end: the handler finishes and then lets the machine go.
            events.reset();
            EXPECT_EQ(logind.inhibitors(), ourLock);
            gate->open();
            EXPECT_TRUE(pollUntil([&] { return logind.inhibitors().isEmpty(); }));
            break;
        }
    }
}

// One run of the application on a settings file of its own, talking to the simulator and to `systemBus`.
struct App {
    App(TransportOptions options, QDBusConnection systemBus)
        : delegate(store, Kintone(queue, alert, std::move(options)), std::make_shared<SwitchedReachability>(), queue,
                   alert, &notifications, std::move(systemBus)) {}

    QTemporaryDir dir;
    std::shared_ptr<QSettingsStore> store = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    std::shared_ptr<RecordingAlert> alert = std::make_shared<RecordingAlert>();
    std::shared_ptr<QtMainQueue> queue = std::make_shared<QtMainQueue>();
    Notifications notifications;
    AppDelegate delegate;
};

class PowerEventsAppTest : public KintoneTest {
protected:
    void SetUp() override { ASSERT_TRUE(bus.connected()) << "no private D-Bus daemon"; }

    std::unique_ptr<App> launch(QDBusConnection systemBus) {
        auto app = std::make_unique<App>(transportOptions(), std::move(systemBus));
        configure(*app->store, authCode);
        app->delegate.applicationDidFinishLaunching();
        return app;
    }
    // Starts a working day the way the employee window does, and waits for its success.
    static void startWork(App& app) {
        const std::size_t alerts = app.alert->messages().size();
        emit app.notifications.didStampoAttend({{"keepUser", "sato"}});
        ASSERT_TRUE(processEventsUntil([&] { return app.alert->messages().size() > alerts; }));
        ASSERT_EQ(app.alert->messages().back(), "送信完了");
        ASSERT_FALSE(app.delegate.attendance().recordno().empty());
    }

    PrivateBus bus;
};

TEST_F(PowerEventsAppTest, SleepAndPowerOffEndTheWorkingDayBeforeLettingGoAndResumingTakesTheLockAgain) {
    struct Case {
        QString signal;
        bool showsEmployeeWindow;
    };
    const Case cases[] = {{prepareForSleep, true}, {prepareForShutdown, false}};
    LogindMock logind(bus);
    ASSERT_TRUE(logind.running());
    Fault slowAnswer = fault(Fault::Kind::Delay);
    slowAnswer.delay = 1s;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.signal.toStdString());
        const auto app = launch(bus.connection());
        app->delegate.attendWindow()->close();
        startWork(*app);
        const int id = std::stoi(app->delegate.attendance().recordno());
        const PowerEvents& events = *app->delegate.powerEvents();
        ASSERT_TRUE(pollUntil([&] { return events.holdsLock() && logind.inhibitors() == ourLock; }));
        sim.clearRequests();
        sim.addFault(on("PUT", recordPath, slowAnswer));

        ASSERT_TRUE(logind.emitSignal(c.signal, true));
        ASSERT_TRUE(pollUntil([&] { return !sim.requests("PUT", recordPath).empty(); }));
        EXPECT_EQ(logind.inhibitors(), ourLock);
        ASSERT_TRUE(pollUntil([&] { return logind.inhibitors().isEmpty(); }));
        EXPECT_FALSE(sim.record(1, id)["end"]["value"].get<std::string>().empty());
        EXPECT_EQ(sim.requests("PUT", recordPath).size(), 1u);
        EXPECT_TRUE(app->delegate.attendance().recordno().empty());
        EXPECT_FALSE(app->delegate.attendWindow()->isVisible());

        ASSERT_TRUE(logind.emitSignal(c.signal, false));
        EXPECT_TRUE(pollUntil([&] { return logind.inhibitors() == ourLock; }));
        EXPECT_EQ(app->delegate.attendWindow()->isVisible(), c.showsEmployeeWindow);
        sim.clearFaults();
    }
}

TEST_F(PowerEventsAppTest, WithoutLogindTheApplicationStartsQuietlyAndTakesTheLockOnceLogindAppears) {
    for (const bool onBus : {false, true}) {
        SCOPED_TRACE(onBus ? "bus without logind" : "no bus");
        const auto app = launch(onBus ? bus.connection() : noBus());
        ASSERT_NE(app->delegate.powerEvents(), nullptr);
        EXPECT_TRUE(app->delegate.attendWindow()->isVisible());
        if (onBus) {
            LogindMock logind(bus);
            ASSERT_TRUE(logind.running());
            EXPECT_TRUE(pollUntil([&] { return app->delegate.powerEvents()->holdsLock(); }));
            EXPECT_EQ(logind.inhibitors(), ourLock);
        } else {
            EXPECT_FALSE(app->delegate.powerEvents()->holdsLock());
        }
        EXPECT_TRUE(app->alert->messages().empty());
    }
}

} // namespace
