#include "AppDelegate.h"
#include "PowerEvents.h"
#include "TrayIcon.h"
#include "attendance/Attendance.h"
#include "attendance/PendingWorkEnds.h"
#include "support/LogindMock.h"

#include <QDateTime>
#include <QMenu>

#include <algorithm>
#include <functional>
#include <latch>
#include <string_view>

using namespace stampo;
using namespace stampo::test;

namespace {

constexpr const char* unconfigured = "Kintone設定が未登録です";
constexpr const char* sent = "送信完了";

// Records the alerts, which the application shows on the main thread, each marked when a form window was up.
class WatchingAlert final : public Alert {
public:
    void show(const std::string& message) override {
        const bool overWindow = std::ranges::any_of(QApplication::topLevelWidgets(), [](const QWidget* window) {
            return qobject_cast<const FormWindow*>(window) && window->isVisible();
        });
        messages.push_back(message + (overWindow ? " (over a window)" : ""));
    }
    std::vector<std::string> messages;
};

// One run of the application on a settings file of its own, talking to the simulator and, on `systemBus`, to logind.
struct App {
    App(TransportOptions options, QDBusConnection systemBus)
        : delegate(store, Kintone(queue, alert, std::move(options)), reachability, queue, alert, &notifications,
                   std::move(systemBus), QDBusConnection("no session bus")) {}

    QTemporaryDir dir;
    std::shared_ptr<SwitchedReachability> reachability = std::make_shared<SwitchedReachability>();
    std::shared_ptr<QSettingsStore> store = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    std::shared_ptr<WatchingAlert> alert = std::make_shared<WatchingAlert>();
    std::shared_ptr<QtMainQueue> queue = std::make_shared<QtMainQueue>();
    Notifications notifications;
    AppDelegate delegate;
};

// The one visible window; none when none or both are.
FormWindow* shown(const App& app) {
    FormWindow* const attend = app.delegate.attendWindow();
    FormWindow* const setting = app.delegate.settingWindow();
    return attend->isVisible() == setting->isVisible() ? nullptr : attend->isVisible() ? attend : setting;
}

class AppDelegateTest : public KintoneTest {
protected:
    std::unique_ptr<App> launch(bool configured, QDBusConnection systemBus = QDBusConnection("no system bus")) {
        auto app = std::make_unique<App>(transportOptions(), std::move(systemBus));
        if (configured)
            configure(*app->store, authCode);
        app->delegate.applicationDidFinishLaunching();
        EXPECT_TRUE(waitSettled(workers));
        return app;
    }
    // Starts a working day the way the employee window does, and waits for its success and the tray's update.
    void startWork(App& app) const {
        app.delegate.attendWindow()->close();
        const std::size_t alerts = app.alert->messages.size();
        emit app.notifications.didStampoAttend({{"keepUser", "sato"}});
        ASSERT_TRUE(waitSettled(workers));
        ASSERT_EQ(app.alert->messages.size(), alerts + 1);
        ASSERT_EQ(app.alert->messages.back(), sent);
        ASSERT_FALSE(app.delegate.attendance().recordno().empty());
    }
};

// The tray is up while the keyring is still being read, but no command may run: the windows do not exist yet. The
// first launch then seeds the store and alerts before the settings window; later ones show the employee window.
// The session manager's Die, which Qt turns into a quit request, is told to main, which ends the working day first:
// the quit request itself closes no window and does not end the loop. Settings saved with a lookup employee field: the
// employee window on screen lists the employee app's records afresh.
TEST_F(AppDelegateTest, TheFirstLaunchAsksForTheSettingsLaterOnesShowTheEmployeeWindowAndPassOnAQuitRequest) {
    App first(transportOptions(), QDBusConnection("no system bus"));
    first.delegate.showTray();
    const auto enabled = [&] { return std::ranges::count_if(first.delegate.menu()->actions(), &QAction::isEnabled); };
    EXPECT_EQ(enabled(), 0);
    for (const auto command : {&AppDelegate::workstart, &AppDelegate::workend, &AppDelegate::setting})
        (first.delegate.*command)();
    first.delegate.applicationDidFinishLaunching();
    EXPECT_EQ(enabled(), 3);
    EXPECT_EQ(first.store->objectForKey("proxyHost"), "");
    EXPECT_EQ(first.alert->messages, std::vector<std::string>{unconfigured}) << "before the window";
    EXPECT_EQ(shown(first), first.delegate.settingWindow());
    const auto later = launch(true);

    int requested = 0;
    QObject::connect(&later->delegate, &AppDelegate::quitRequested, [&requested] { ++requested; });
    QEvent quit(QEvent::Quit);
    EXPECT_TRUE(QCoreApplication::sendEvent(qApp, &quit));
    EXPECT_EQ(requested, 1);
    EXPECT_EQ(shown(*later), later->delegate.attendWindow()) << "shown at the launch, and still";

    later->store->setObjectForKey("employeeNo", "fieldUser");
    later->store->setObjectForKey("氏名", "fieldUserDisplay");
    later->store->setObjectForKey("NUMBER", "fieldUserType");
    emit later->notifications.didStampoSetting();
    const ZUMComboBox& employees =
        *later->delegate.attendWindow()->controller()->container()->combobox().value("keepUser");
    EXPECT_TRUE(processEventsUntil([&] { return employees.datasource().value(1).value("code").toString() == "1005"; }));
}

TEST_F(AppDelegateTest, CommandsBringUpTheirWindowOrRefuseWithTheirAlert) {
    using Action = std::function<void(App&)>;
    const auto entry = [](int index) -> Action {
        return [index](App& a) { a.delegate.menu()->actions().at(index)->trigger(); };
    };
    const Action reopen = [](App& a) { a.delegate.reopen(); };
    const Action saved = [](App& a) { emit a.notifications.didStampoSetting(); };
    struct Case {
        bool configured, onDuty;
        Action action;
        FormWindow* (AppDelegate::*window)() const; // none when null
        const char* alert;                          // none when null
    };
    const Case cases[] = {
        {true, false, entry(2), &AppDelegate::settingWindow, nullptr},
        {true, false, entry(0), &AppDelegate::attendWindow, nullptr},
        {true, false, saved, &AppDelegate::attendWindow, nullptr},
        {false, false, reopen, &AppDelegate::settingWindow, nullptr},
        {true, false, reopen, &AppDelegate::attendWindow, nullptr},
        {true, true, reopen, nullptr, nullptr},
        {false, false, entry(0), nullptr, unconfigured},
        {false, false, entry(1), nullptr, unconfigured},
        {true, true, entry(0), nullptr, "勤務中です"},
        {true, false, entry(1), nullptr, "勤務が開始されておりません"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        const auto app = launch(c.configured);
        app->delegate.settingWindow()->close();
        app->delegate.attendWindow()->close();
        if (c.onDuty)
            startWork(*app);
        const std::string recordno = app->delegate.attendance().recordno();
        std::vector<std::string> alerts = app->alert->messages;
        if (c.alert)
            alerts.push_back(c.alert);
        sim.clearRequests();

        c.action(*app);
        ASSERT_TRUE(waitSettled(workers));
        EXPECT_EQ(shown(*app), c.window ? (app->delegate.*c.window)() : nullptr);
        EXPECT_EQ(app->alert->messages, alerts);
        // None sends anything but what a window loads: the day stays as it was (the tray's work end: the test below).
        EXPECT_TRUE(c.window || sim.requests().empty());
        EXPECT_EQ(app->delegate.attendance().recordno(), recordno);
    }
}

TEST_F(AppDelegateTest, TrayShowsTheWorkingDayAndStaysUsableWhileKintoneIsSlowSendingNothingTwice) {
    const auto app = launch(true);
    app->delegate.attendWindow()->close();
    const TrayIcon& tray = *app->delegate.trayIcon();
    const QList<QAction*> commands = app->delegate.menu()->actions();
    const auto icon = [&] { return tray.icon().pixmap(32).toImage(); };
    const QImage offDuty = icon();
    EXPECT_EQ(tray.toolTip(), "Stampo");
    const auto tipBecomes = [&](const QString& tip) {
        EXPECT_TRUE(processEventsUntil([&] { return tray.toolTip() == tip; })) << tray.toolTip().toStdString();
    };
    // While a request is on its way, the two commands cannot be asked again, and asking anyway sends nothing.
    const auto whileSending = [&] {
        tipBecomes("Stampo — 送信中…");
        EXPECT_FALSE(commands.at(0)->isEnabled() || commands.at(1)->isEnabled());
        app->delegate.workstart();
        app->delegate.workend();
        commands.at(2)->trigger();
        EXPECT_TRUE(app->delegate.settingWindow()->isVisible()) << "the settings stay reachable";
        app->delegate.settingWindow()->close();
    };
    sim.addFault(on("", recordPath, {.kind = Fault::Kind::Delay, .delay = 1s}));

    const auto onDutyTip = [] {
        return QString("Stampo — 勤務中 (%1〜)").arg(QDateTime::currentDateTime().toString("HH:mm"));
    };
    const QString before = onDutyTip();
    emit app->notifications.didStampoAttend({{"keepUser", "sato"}});
    whileSending();
    EXPECT_TRUE(processEventsUntil([&] { return tray.toolTip() != "Stampo — 送信中…"; }));
    EXPECT_TRUE(tray.toolTip() == before || tray.toolTip() == onDutyTip()) << tray.toolTip().toStdString();
    EXPECT_TRUE(commands.at(0)->isEnabled() && commands.at(1)->isEnabled());
    EXPECT_NE(icon(), offDuty);

    commands.at(1)->trigger();
    EXPECT_FALSE(app->delegate.attendance().recordno().empty()) << "the menu waited for kintone's answer";
    whileSending();
    tipBecomes("Stampo");
    EXPECT_EQ(icon(), offDuty);
    ASSERT_TRUE(waitSettled(workers));
    EXPECT_EQ(sim.requests("POST", recordPath).size(), 1u);
    EXPECT_EQ(sim.requests("PUT", recordPath).size(), 1u);
    EXPECT_EQ(app->alert->messages, (std::vector<std::string>{sent, sent}));

    // A work end kept from an earlier run, and the network down at the next work start.
    PendingWorkEnds::write(*app->store, {{"1", "2024-05-01T09:00:00Z"}});
    app->reachability->reachable = false;
    emit app->notifications.didStampoAttend({{"keepUser", "sato"}});
    tipBecomes("Stampo — 未送信の勤務終了があります");
}

// The session's end (a signal, or the session manager's Die, in main), a sleep or a power-off (python-dbusmock's logind
// on a private bus) ends the open working day, and is told once nothing is on its way to kintone any more, or at its
// limit; waking from sleep brings the employee window back. (With no day open, tests/e2e ends stampo by signals.)
TEST_F(AppDelegateTest, TheSessionsEndSleepAndPowerOffEndTheOpenWorkingDayWaitingForKintoneWithinTheLimit) {
    PrivateBus bus;
    const LogindMock logind(bus);
    // logind's signal (none: the session's end), and whether kintone answers the day's end (late) within the limit.
    const std::pair<const char*, bool> runs[] = {
        {nullptr, true}, {nullptr, false}, {"PrepareForSleep", true}, {"PrepareForShutdown", true}};
    for (const auto& [signal, answers] : runs) {
        SCOPED_TRACE(testing::Message() << (signal ? signal : "the session's end") << ", answers " << answers);
        const auto app = launch(true, bus.connection());
        ASSERT_TRUE(pollUntil([&] { return logind.inhibitors() == LogindMock::ourLock; }));
        startWork(*app);
        const std::string record = app->delegate.attendance().recordno();
        const std::size_t alerts = app->alert->messages.size();
        sim.clearRequests();
        sim.addFault(on("PUT", recordPath, {.kind = answers ? Fault::Kind::Delay : Fault::Kind::Hang, .delay = 300ms}));

        if (signal) {
            ASSERT_TRUE(logind.emitSignal(signal, true));
            // The lock goes once kintone has the day's end.
            ASSERT_TRUE(pollUntil([&] { return logind.inhibitors().isEmpty(); }));
            EXPECT_FALSE(sim.record(1, std::stoi(record))["end"]["value"].get<std::string>().empty());
        } else {
            bool ended = false;
            app->delegate.sessionEnds([&ended] { ended = true; }, answers ? deadline : 200ms);
            ASSERT_TRUE(processEventsUntil([&] { return ended; }));
        }
        EXPECT_EQ(app->delegate.attendance().isSending(), !answers);
        EXPECT_EQ(app->delegate.attendance().recordno(), answers ? "" : record);
        EXPECT_EQ(app->store->stringForKey("keepRecordno"), answers ? std::nullopt : std::optional(record))
            << "kept for the next work start";
        sim.releaseHangs();
        ASSERT_TRUE(waitSettled(workers));
        const auto updates = sim.requests("PUT", recordPath);
        ASSERT_EQ(updates.size(), 1u);
        EXPECT_EQ(Json::parse(updates[0].body)["id"], record);
        // A work end of its own accord says nothing of its success; the one cut off is told, by the client.
        EXPECT_EQ(app->alert->messages.size(), alerts + (answers ? 0 : 1));
        if (signal) {
            EXPECT_FALSE(app->delegate.attendWindow()->isVisible());
            ASSERT_TRUE(logind.emitSignal(signal, false));
            EXPECT_TRUE(pollUntil([&] { return logind.inhibitors() == LogindMock::ourLock; }));
            EXPECT_EQ(app->delegate.attendWindow()->isVisible(), std::string_view(signal) == "PrepareForSleep");
        }
        sim.clearFaults();
    }
}

TEST(PowerEvents, LockIsHeldFromLogindsStartAndGoesWhenTheHandlerReturnsOrAtTheDeadlineWhicheverIsFirst) {
    PrivateBus bus;
    // The deadline first, or the handler's return, with the object gone meanwhile (AppDelegateTest's sleep: without).
    for (const bool deadlineFirst : {true, false}) {
        SCOPED_TRACE(deadlineFirst ? "the deadline first" : "the object gone, then the handler's return");
        const auto maxDelay = deadlineFirst ? 200ms : std::chrono::milliseconds(1h);
        // The handler waits until the test lets it return.
        const auto entered = std::make_shared<std::latch>(1), open = std::make_shared<std::latch>(1);
        // The handler's thread is one the end of the run waits for.
        WorkerThreads workers;
        auto events = std::make_unique<PowerEvents>(
            bus.connection(),
            [entered, open](std::chrono::steady_clock::time_point) {
                entered->count_down();
                open->wait();
            },
            workers.starter(), maxDelay);
        // logind may come up after the application.
        const LogindMock logind(bus);
        const auto locked = [&] { return events && events->holdsLock() && logind.inhibitors() == LogindMock::ourLock; };
        ASSERT_TRUE(pollUntil(locked));
        // A process started meanwhile would keep an inherited lock, holding up every sleep as long as it runs.
        ChildProcess child({"/usr/bin/tail", "-f", "/dev/null"});
        ASSERT_TRUE(child.running());
        const auto sleeping = std::chrono::steady_clock::now();
        ASSERT_TRUE(logind.emitSignal("PrepareForSleep", true));
        ASSERT_TRUE(pollUntil([&] { return events->isHandling() && entered->try_wait(); }));
        EXPECT_FALSE(workers.waitIdle(0ms)) << "the handler runs on a thread nobody waits for";

        if (deadlineFirst) {
            EXPECT_TRUE(pollUntil([&] { return logind.inhibitors().isEmpty(); }));
            EXPECT_GE(std::chrono::steady_clock::now() - sleeping, maxDelay);
            EXPECT_TRUE(events->isHandling());
            // The lock taken on waking is not the one the late handler's return releases.
            ASSERT_TRUE(logind.emitSignal("PrepareForSleep", false));
            ASSERT_TRUE(pollUntil(locked));
            open->count_down();
            ASSERT_TRUE(pollUntil([&] { return !events->isHandling(); }));
            // (The lock goes with its object: AppDelegateTest's runs each find only their own.)
            EXPECT_TRUE(locked());
        } else {
            // The application quits during the work end: the handler finishes and then lets the machine go.
            events.reset();
            EXPECT_EQ(logind.inhibitors(), LogindMock::ourLock);
            open->count_down();
            EXPECT_TRUE(pollUntil([&] { return logind.inhibitors().isEmpty(); }));
            EXPECT_TRUE(workers.waitIdle(deadline));
        }
    }
}

} // namespace
