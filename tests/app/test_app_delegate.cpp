#include "AppDelegate.h"
#include "PowerEvents.h"
#include "QSettingsStore.h"
#include "QtMainQueue.h"
#include "StatusNotifierItem.h"
#include "TrayIcon.h"
#include "attendance/Attendance.h"
#include "attendance/PendingWorkEnds.h"
#include "support/AttendanceRig.h"
#include "support/KintoneTest.h"
#include "support/LogindMock.h"
#include "support/StatusNotifierWatcherMock.h"
#include "widgets/FormWindow.h"
#include "widgets/Notifications.h"
#include "widgets/ZUMContainerView.h"

#include <QApplication>
#include <QDateTime>
#include <QMenu>
#include <QSessionManager>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>

using namespace stampo;
using namespace stampo::test;

namespace {

constexpr const char* unconfigured = "Kintone設定が未登録です";
constexpr const char* sent = "送信完了";
const QList<QStringList> ourLock{{"sleep:shutdown", "Stampo", "勤務終了を送信しています", "delay"}};

// Records the alerts, which the application shows on the main thread, each with whether a form window was up.
class WatchingAlert final : public Alert {
public:
    void show(const std::string& message) override {
        const QWidgetList windows = QApplication::topLevelWidgets();
        overWindow.push_back(std::any_of(windows.begin(), windows.end(), [](const QWidget* window) {
            return qobject_cast<const FormWindow*>(window) && window->isVisible();
        }));
        messages.push_back(message);
    }
    std::vector<std::string> messages;
    std::vector<bool> overWindow;
};

// One run of the application on a settings file of its own, talking to the simulator and to the buses.
struct App {
    App(TransportOptions options, QDBusConnection systemBus, QDBusConnection sessionBus)
        : delegate(store, Kintone(queue, alert, std::move(options)), reachability, queue, alert, &notifications,
                   std::move(systemBus), std::move(sessionBus)) {}

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
    std::unique_ptr<App> launch(bool configured, QDBusConnection systemBus = QDBusConnection("no system bus"),
                                QDBusConnection sessionBus = QDBusConnection("no session bus")) {
        auto app = std::make_unique<App>(transportOptions(), std::move(systemBus), std::move(sessionBus));
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

TEST_F(AppDelegateTest, FirstLaunchSeedsTheStoreAndAlertsBeforeTheSettingsWindowLaterOnesShowTheEmployeeWindow) {
    const auto first = launch(false);
    EXPECT_EQ(first->store->objectForKey("proxyHost"), "");
    EXPECT_EQ(first->alert->messages, std::vector<std::string>{unconfigured});
    EXPECT_EQ(first->alert->overWindow, std::vector<bool>{false});
    EXPECT_EQ(shown(*first), first->delegate.settingWindow());
    const auto later = launch(true);
    EXPECT_TRUE(later->alert->messages.empty());
    EXPECT_EQ(shown(*later), later->delegate.attendWindow());
}

TEST_F(AppDelegateTest, TrayMenuHoldsTheThreeCommandsAndOpensOnALeftClick) {
    const auto app = launch(true);
    QStringList titles;
    for (const QAction* action : app->delegate.menu()->actions())
        titles << action->text();
    EXPECT_EQ(titles, QStringList({"勤務開始", "勤務終了", "Kintone設定"}));
    const TrayIcon* const tray = app->delegate.trayIcon();
    EXPECT_EQ(tray->menu(), app->delegate.menu());
    EXPECT_EQ(tray->toolTip(), "Stampo");
    // Without a session bus, on XEmbed only.
    QSystemTrayIcon* const xembed = tray->xembedIcon();
    ASSERT_NE(xembed, nullptr);
    EXPECT_EQ(xembed->contextMenu(), app->delegate.menu());
    EXPECT_EQ(xembed->toolTip(), "Stampo");
    EXPECT_TRUE(xembed->isVisible());
    emit xembed->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(processEventsUntil([&] { return app->delegate.menu()->isVisible(); }));
    app->delegate.menu()->hide();
}

// While the keyring is still being read the tray is up, but no command may run: the windows do not exist yet.
TEST_F(AppDelegateTest, TheTrayShowsBeforeTheLaunchWithItsCommandsWaiting) {
    App app(transportOptions(), QDBusConnection("no system bus"), QDBusConnection("no session bus"));
    configure(*app.store, authCode);
    app.delegate.showTray();
    ASSERT_NE(app.delegate.trayIcon(), nullptr);
    const QList<QAction*> commands = app.delegate.menu()->actions();
    for (const QAction* command : commands)
        EXPECT_FALSE(command->isEnabled()) << command->text().toStdString();
    app.delegate.workstart();
    app.delegate.workend();
    app.delegate.setting();
    EXPECT_TRUE(app.alert->messages.empty());
    app.delegate.applicationDidFinishLaunching();
    for (const QAction* command : commands)
        EXPECT_TRUE(command->isEnabled()) << command->text().toStdString();
    EXPECT_TRUE(waitSettled(workers));
}

TEST_F(AppDelegateTest, CommandsBringUpTheirWindowEndTheWorkingDayOrRefuseWithTheirAlert) {
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
        {true, true, entry(1), nullptr, sent},
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
        // Only the work end sends anything but what a window loads.
        const bool ends = c.alert == sent;
        EXPECT_EQ(sim.requests("PUT", recordPath).size(), ends ? 1u : 0u);
        EXPECT_TRUE(c.window || sim.requests().size() == (ends ? 1u : 0u));
        EXPECT_EQ(app->delegate.attendance().recordno(), ends ? "" : recordno);
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
    Fault slowAnswer = fault(Fault::Kind::Delay);
    slowAnswer.delay = 1s;
    sim.addFault(on("", recordPath, slowAnswer));

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

// The session's end (a signal, or the session manager's Die, in main) ends the open working day as a power-off does,
// once, also the day of a work start on its way, and the wait for kintone is bounded.
TEST_F(AppDelegateTest, TheSessionsEndEndsTheOpenWorkingDayOnceWithinItsLimit) {
    enum class Before { OffDuty, OnDuty, SleepsEndOnItsWay, UpdateHangs, StartOnItsWay };
    for (const Before before :
         {Before::OffDuty, Before::OnDuty, Before::SleepsEndOnItsWay, Before::UpdateHangs, Before::StartOnItsWay}) {
        SCOPED_TRACE(static_cast<int>(before));
        const auto app = launch(true);
        if (before != Before::OffDuty)
            startWork(*app);
        const std::size_t alerts = app->alert->messages.size();
        sim.clearRequests();
        Fault slowAnswer = fault(Fault::Kind::Delay);
        slowAnswer.delay = 500ms;
        if (before == Before::SleepsEndOnItsWay) {
            sim.addFault(on("PUT", recordPath, slowAnswer));
            const_cast<Attendance&>(app->delegate.attendance()).endWorkInBackground(false);
        }
        if (before == Before::UpdateHangs)
            sim.addFault(on("PUT", recordPath, fault(Fault::Kind::Hang)));
        if (before == Before::StartOnItsWay) {
            sim.addFault(on("POST", recordPath, slowAnswer));
            emit app->notifications.didStampoAttend({{"keepUser", "sato"}});
            ASSERT_TRUE(sim.waitForRequests(1, deadline));
        }
        bool ended = false;
        app->delegate.sessionEnds([&ended] { ended = true; }, before == Before::UpdateHangs ? 200ms : deadline);
        ASSERT_TRUE(processEventsUntil([&] { return ended; }));
        const std::string record = app->delegate.attendance().recordno();
        if (before == Before::UpdateHangs) {
            EXPECT_EQ(app->store->stringForKey("keepRecordno"), record) << "kept for the next work start";
            sim.releaseHangs();
        }
        ASSERT_TRUE(waitSettled(workers));
        const auto updates = sim.requests("PUT", recordPath);
        ASSERT_EQ(updates.size(), before == Before::OffDuty ? 0u : 1u);
        if (before != Before::OffDuty) {
            EXPECT_EQ(Json::parse(updates[0].body)["id"], sim.records(1).back()["$id"]["value"]);
        }
        if (before != Before::UpdateHangs) {
            EXPECT_TRUE(app->delegate.attendance().recordno().empty());
            EXPECT_FALSE(app->store->objectForKey("keepRecordno"));
        }
        // A work end of its own accord says nothing of its success; the hung one ends cut off, which the client tells.
        EXPECT_EQ(app->alert->messages.size(),
                  alerts + (before == Before::UpdateHangs || before == Before::StartOnItsWay ? 1 : 0));
        sim.clearFaults();
    }
}

// A session save (a checkpoint, or a logout another program cancels) asks for the application's data and ends
// nothing; the session manager's Die, which Qt turns into a quit request, is told to main and does not end the loop.
TEST_F(AppDelegateTest, ASessionSaveEndsNothingAndTheManagersQuitRequestIsPassedOn) {
    QSessionManager* const manager = qApp->findChild<QSessionManager*>();
    ASSERT_TRUE(manager);
    const auto app = launch(true);
    startWork(*app);
    sim.clearRequests();
    emit qApp->commitDataRequest(*manager);
    emit qApp->saveStateRequest(*manager);
    int requested = 0;
    QObject::connect(&app->delegate, &AppDelegate::quitRequested, [&requested] { ++requested; });
    // Qt would close every window and end the loop on it.
    app->delegate.attendWindow()->present();
    QEvent quit(QEvent::Quit);
    EXPECT_TRUE(QCoreApplication::sendEvent(qApp, &quit));
    EXPECT_EQ(requested, 1);
    EXPECT_TRUE(app->delegate.attendWindow()->isVisible());
    ASSERT_TRUE(waitSettled(workers));
    EXPECT_TRUE(sim.requests("PUT", recordPath).empty());
    EXPECT_FALSE(app->delegate.attendance().recordno().empty());
}

TEST_F(AppDelegateTest, AnEmployeeWindowOnScreenLoadsItsListAfreshWheneverItIsShownAgain) {
    const auto app = launch(true);
    const ZUMComboBox& employees =
        *app->delegate.attendWindow()->controller()->container()->combobox().value("keepUser");
    const auto firstCode = [&] { return employees.datasource().value(1).value("code").toString(); };
    ASSERT_EQ(firstCode(), "sato");
    // The settings saved with a lookup employee field, then "勤務開始" after going back to the users, the window
    // staying on screen throughout.
    const std::tuple<std::function<void()>, const char*, const char*> showings[] = {
        {[&] { emit app->notifications.didStampoSetting(); }, "NUMBER", "1005"},
        {[&] { app->delegate.menu()->actions().at(0)->trigger(); }, "USER_SELECT", "sato"}};
    app->store->setObjectForKey("employeeNo", "fieldUser");
    app->store->setObjectForKey("氏名", "fieldUserDisplay");
    for (const auto& [show, type, expected] : showings) {
        SCOPED_TRACE(type);
        ASSERT_TRUE(app->delegate.attendWindow()->isVisible());
        app->store->setObjectForKey(type, "fieldUserType");
        show();
        EXPECT_TRUE(processEventsUntil([&] { return firstCode() == expected; })) << firstCode().toStdString();
    }
}

// Against python-dbusmock's StatusNotifierWatcher with a host, on a private session bus.
TEST_F(AppDelegateTest, TheTrayItemRegistersOnTheSessionBusAndNoXEmbedIconIsMade) {
    PrivateBus bus;
    ASSERT_TRUE(bus.connected()) << "no private D-Bus daemon";
    StatusNotifierWatcherMock watcher(bus, true);
    ASSERT_TRUE(watcher.running());
    const auto app = launch(true, QDBusConnection("no system bus"), bus.connection());
    const TrayIcon* const tray = app->delegate.trayIcon();
    ASSERT_TRUE(processEventsUntil([&] { return tray->statusNotifierItem()->isShown(); }));
    EXPECT_EQ(watcher.items(), QStringList{bus.connection().baseService()});
    EXPECT_EQ(tray->xembedIcon(), nullptr);
}

// Against python-dbusmock's logind on a private bus, which comes up after the application.
TEST_F(AppDelegateTest, StartsQuietlyTakesTheLockOnceLogindAppearsAndEndsTheWorkingDayBeforeSleepOrPowerOff) {
    PrivateBus bus;
    ASSERT_TRUE(bus.connected()) << "no private D-Bus daemon";
    const auto app = launch(true, bus.connection());
    LogindMock logind(bus);
    ASSERT_TRUE(logind.running());
    const PowerEvents& events = *app->delegate.powerEvents();
    ASSERT_TRUE(pollUntil([&] { return events.holdsLock() && logind.inhibitors() == ourLock; }));
    EXPECT_TRUE(app->alert->messages.empty());
    EXPECT_EQ(shown(*app), app->delegate.attendWindow());
    Fault slowAnswer = fault(Fault::Kind::Delay);
    slowAnswer.delay = 1s;
    const std::pair<const char*, bool> cases[] = {{"PrepareForSleep", true}, {"PrepareForShutdown", false}};
    for (const auto& [signal, showsEmployeeWindow] : cases) {
        SCOPED_TRACE(signal);
        startWork(*app);
        const int id = std::stoi(app->delegate.attendance().recordno());
        sim.clearRequests();
        sim.addFault(on("PUT", recordPath, slowAnswer));

        ASSERT_TRUE(logind.emitSignal(signal, true));
        ASSERT_TRUE(pollUntil([&] { return !sim.requests("PUT", recordPath).empty(); }));
        EXPECT_EQ(logind.inhibitors(), ourLock);
        ASSERT_TRUE(pollUntil([&] { return logind.inhibitors().isEmpty(); }));
        EXPECT_FALSE(sim.record(1, id)["end"]["value"].get<std::string>().empty());
        EXPECT_EQ(sim.requests("PUT", recordPath).size(), 1u);
        EXPECT_TRUE(app->delegate.attendance().recordno().empty());
        EXPECT_FALSE(app->delegate.attendWindow()->isVisible());

        ASSERT_TRUE(logind.emitSignal(signal, false));
        EXPECT_TRUE(pollUntil([&] { return logind.inhibitors() == ourLock; }));
        EXPECT_EQ(app->delegate.attendWindow()->isVisible(), showsEmployeeWindow);
        sim.clearFaults();
        ASSERT_TRUE(waitSettled(workers));
    }
}

} // namespace
