#include "app/AppDelegate.h"
#include "app/Attendance.h"
#include "app/QSettingsStore.h"
#include "app/QtMainQueue.h"
#include "app/SettingsKeys.h"
#include "settings/SettingView.h"
#include "support/AttendanceRig.h"
#include "support/KintoneTest.h"
#include "support/WidgetTesting.h"
#include "widgets/FormWindow.h"
#include "widgets/Notifications.h"

#include <QApplication>
#include <QDBusConnection>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <functional>
#include <regex>
#include <span>

using namespace stampo;
using namespace stampo::test;

namespace {

constexpr const char* unconfigured = "Kintone設定が未登録です";
constexpr const char* sent = "送信完了";

// The application's main queue, counting the work it has run.
class CountingMainQueue final : public MainQueue {
public:
    void async(std::function<void()> work) override {
        m_queue.async([ran = ran, work = std::move(work)] {
            work();
            ++*ran;
        });
    }
    const std::shared_ptr<std::atomic<int>> ran = std::make_shared<std::atomic<int>>(0);

private:
    QtMainQueue m_queue;
};

// Passes alerts on to a recording one, noting for each whether a form window was already up.
class WatchingAlert final : public Alert {
public:
    explicit WatchingAlert(std::shared_ptr<RecordingAlert> recording)
        : m_recording(std::move(recording)) {}
    void show(const std::string& message) override {
        const QWidgetList windows = QApplication::topLevelWidgets();
        windowUp.push_back(std::any_of(windows.begin(), windows.end(), [](const QWidget* window) {
            return qobject_cast<const FormWindow*>(window) && window->isVisible();
        }));
        m_recording->show(message);
    }
    std::vector<bool> windowUp;

private:
    const std::shared_ptr<RecordingAlert> m_recording;
};

// One run of the application on a settings file of its own, talking to the simulator.
struct App {
    explicit App(TransportOptions options)
        : delegate(store, Kintone(queue, watching, std::move(options)), std::make_shared<SwitchedReachability>(), queue,
                   watching, &notifications, QDBusConnection(QStringLiteral("no system bus"))) {}

    QTemporaryDir dir;
    std::shared_ptr<QSettingsStore> store = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    std::shared_ptr<RecordingAlert> alert = std::make_shared<RecordingAlert>();
    std::shared_ptr<WatchingAlert> watching = std::make_shared<WatchingAlert>(alert);
    std::shared_ptr<CountingMainQueue> queue = std::make_shared<CountingMainQueue>();
    Notifications notifications;
    AppDelegate delegate;
};

using Action = std::function<void(App&)>;
using Keys = std::span<const std::string_view>;

void menuEntry(App& app, int index) {
    app.delegate.menu()->actions().at(index)->trigger();
}

class AppDelegateTest : public KintoneTest {
protected:
    std::unique_ptr<App> launch(bool configured) {
        auto app = std::make_unique<App>(transportOptions());
        if (configured)
            configure(*app->store, authCode);
        run(*app, [](App& a) { a.delegate.applicationDidFinishLaunching(); });
        return app;
    }
    // Runs `action`; a window it brings up on a configured store reads kintone, so this waits until what it read is
    // shown: nothing is left in flight afterwards.
    void run(App& app, const Action& action) {
        const int before = *app.queue->ran;
        const FormWindow* const wasShown = shown(app);
        action(app);
        const FormWindow* const nowShown = shown(app);
        if (wasShown || !nowShown || app.store->stringForKey("subDomain").value_or("").empty())
            return;
        const auto* settings = static_cast<const SettingView*>(app.delegate.settingWindow()->controller());
        const bool loaded = processEventsUntil(
            [&] { return nowShown == app.delegate.settingWindow() ? !settings->loading() : *app.queue->ran > before; });
        ASSERT_TRUE(loaded);
    }
    // The one visible window; none when none is, and a failure when both are.
    static FormWindow* shown(const App& app) {
        FormWindow* const attend = app.delegate.attendWindow();
        FormWindow* const setting = app.delegate.settingWindow();
        EXPECT_FALSE(attend && setting && attend->isVisible() && setting->isVisible());
        return attend && attend->isVisible() ? attend : setting && setting->isVisible() ? setting : nullptr;
    }
    static void closeWindows(App& app) {
        app.delegate.attendWindow()->close();
        app.delegate.settingWindow()->close();
    }
    static void waitForAlerts(App& app, std::size_t count) {
        ASSERT_TRUE(processEventsUntil([&] { return app.alert->messages().size() >= count; }));
    }
    // Starts a working day the way the employee window does, and waits for its success.
    static void startWork(App& app) {
        const std::size_t alerts = app.alert->messages().size();
        emit app.notifications.didStampoAttend({{"keepUser", "sato"}});
        waitForAlerts(app, alerts + 1);
        ASSERT_EQ(app.alert->messages().back(), sent);
        ASSERT_FALSE(app.delegate.attendance().recordno().empty());
    }
};

TEST_F(AppDelegateTest, LaunchSeedsTheStoreThenShowsTheSettingsWindowAfterTheAlertOrElseTheEmployeeWindow) {
    for (const bool configured : {false, true}) {
        SCOPED_TRACE(configured ? "configured" : "first launch");
        const auto app = launch(configured);
        if (configured) {
            EXPECT_EQ(app->store->stringForKey("subDomain"), subDomain);
            EXPECT_TRUE(app->alert->messages().empty());
            EXPECT_EQ(shown(*app), app->delegate.attendWindow());
        } else {
            for (const auto keys : {Keys(SettingsKeys::connectionKeys), Keys(SettingsKeys::proxyKeys)})
                for (const auto key : keys)
                    EXPECT_EQ(app->store->objectForKey(std::string(key)), "") << key;
            EXPECT_EQ(app->store->objectForKey("fieldInType"), std::nullopt);
            EXPECT_EQ(app->alert->messages(), std::vector<std::string>{unconfigured});
            EXPECT_EQ(app->watching->windowUp, std::vector<bool>{false});
            EXPECT_EQ(shown(*app), app->delegate.settingWindow());
        }
    }
}

TEST_F(AppDelegateTest, TrayMenuHoldsTheThreeCommandsAndOpensOnALeftClick) {
    const auto app = launch(true);
    QStringList titles;
    for (const QAction* action : app->delegate.menu()->actions()) {
        EXPECT_FALSE(action->isSeparator());
        titles << action->text();
    }
    EXPECT_EQ(titles, QStringList({"勤務開始", "勤務終了", "Kintone設定"}));
    QSystemTrayIcon* const tray = app->delegate.statusItem();
    EXPECT_EQ(tray->contextMenu(), app->delegate.menu());
    EXPECT_EQ(tray->toolTip(), "Stampo");
    EXPECT_FALSE(tray->icon().isNull());
    emit tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(processEventsUntil([&] { return app->delegate.menu()->isVisible(); }));
    app->delegate.menu()->hide();
}

TEST_F(AppDelegateTest, MenuEntriesAndTheSavedSettingsBringUpTheirWindow) {
    struct Case {
        const char* what;
        Action action;
        FormWindow* (AppDelegate::*window)() const;
    };
    const Case cases[] = {
        {"Kintone設定", [](App& a) { menuEntry(a, 2); }, &AppDelegate::settingWindow},
        {"勤務開始 off duty", [](App& a) { menuEntry(a, 0); }, &AppDelegate::attendWindow},
        {"didStampoSetting", [](App& a) { emit a.notifications.didStampoSetting(); }, &AppDelegate::attendWindow},
    };
    const auto app = launch(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        closeWindows(*app);
        run(*app, c.action);
        EXPECT_EQ(shown(*app), (app->delegate.*c.window)());
    }
    EXPECT_TRUE(app->alert->messages().empty());
}

TEST_F(AppDelegateTest, LaunchingAgainOffersTheSettingsOrTheEmployeeWindowButNothingOnDuty) {
    struct Case {
        bool configured;
        bool onDuty;
        FormWindow* (AppDelegate::*window)() const;
    };
    const Case cases[] = {
        {false, false, &AppDelegate::settingWindow},
        {true, false, &AppDelegate::attendWindow},
        {true, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.configured ? "configured" : "unconfigured") + (c.onDuty ? ", on duty" : ""));
        const auto app = launch(c.configured);
        closeWindows(*app);
        if (c.onDuty)
            startWork(*app);
        const std::size_t alerts = app->alert->messages().size();
        run(*app, [](App& a) { a.delegate.reopen(); });
        EXPECT_EQ(shown(*app), c.window ? (app->delegate.*c.window)() : nullptr);
        EXPECT_EQ(app->alert->messages().size(), alerts);
    }
}

TEST_F(AppDelegateTest, RefusedCommandsShowTheirAlertSendNothingAndOpenNoWindow) {
    struct Case {
        bool configured;
        bool onDuty;
        int entry;
        const char* alert;
    };
    const Case cases[] = {
        {false, false, 0, unconfigured},
        {false, false, 1, unconfigured},
        {true, true, 0, "勤務中です"},
        {true, false, 1, "勤務が開始されておりません"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.alert + std::string(" from entry ") + std::to_string(c.entry));
        const auto app = launch(c.configured);
        closeWindows(*app);
        if (c.onDuty)
            startWork(*app);
        const std::string recordno = app->delegate.attendance().recordno();
        const std::size_t alerts = app->alert->messages().size();
        sim.clearRequests();

        menuEntry(*app, c.entry);
        // Anything the command queued has run once a marker queued after it has.
        bool drained = false;
        app->queue->async([&] { drained = true; });
        ASSERT_TRUE(processEventsUntil([&] { return drained; }));

        ASSERT_EQ(app->alert->messages().size(), alerts + 1);
        EXPECT_EQ(app->alert->messages().back(), c.alert);
        EXPECT_TRUE(sim.requests().empty());
        EXPECT_EQ(shown(*app), nullptr);
        EXPECT_EQ(app->delegate.attendance().recordno(), recordno);
    }
}

TEST_F(AppDelegateTest, WorkEndFromTheMenuFillsInTheEndOfTheOpenRecord) {
    const auto app = launch(true);
    closeWindows(*app);
    startWork(*app);
    const int id = std::stoi(app->delegate.attendance().recordno());
    EXPECT_FALSE(sim.record(1, id).contains("end"));
    const std::size_t alerts = app->alert->messages().size();
    sim.clearRequests();

    menuEntry(*app, 1);
    waitForAlerts(*app, alerts + 1);
    EXPECT_EQ(app->alert->messages().back(), sent);
    EXPECT_EQ(sim.requests("PUT", "/k/v1/record.json").size(), 1u);
    EXPECT_EQ(sim.requests().size(), 1u);
    const std::regex dateTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)");
    EXPECT_TRUE(std::regex_match(sim.record(1, id)["end"]["value"].get<std::string>(), dateTime));
    EXPECT_TRUE(app->delegate.attendance().recordno().empty());
    EXPECT_EQ(shown(*app), nullptr);
}

} // namespace
