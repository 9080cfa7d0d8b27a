#pragma once

#include "kintone/Kintone.h"

#include <QDBusConnection>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class QMenu;

namespace stampo {

class Alert;
class Attendance;
class FormWindow;
class MainQueue;
class Notifications;
class PowerEvents;
class Reachability;
class SettingsStore;
class TrayIcon;

// The application shell: the tray icon and its menu, the employee and settings windows made once per run, the
// launch set-up and the menu commands. It lives for the whole run and owns the working day (Attendance).
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    // `notifications` must outlive the delegate. `systemBus` reaches logind for sleep and power-off; without it
    // (not connected) the application runs without them. `sessionBus` reaches StatusNotifierItem trays; without it
    // the icon goes to an XEmbed tray only.
    AppDelegate(std::shared_ptr<SettingsStore> store, Kintone kintone, std::shared_ptr<const Reachability> reachability,
                std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<Alert> alert, Notifications* notifications,
                QDBusConnection systemBus, QDBusConnection sessionBus, QObject* parent = nullptr);
    ~AppDelegate() override;

    // The tray icon and its menu, whose commands wait for applicationDidFinishLaunching: the tray shows while the
    // settings are still being read.
    void showTray();
    // Builds the windows (and the tray, if not shown yet), seeds the store, shows the first window and starts
    // observing; the menu's commands work from now on.
    void applicationDidFinishLaunching();

    // The menu commands; main thread only.
    void workstart();
    void workend();
    void setting();
    // The user launched the application again while it runs: offer what is useful now.
    void reopen();
    // The desktop session ends (the session manager's Die, or a signal that ends the run): the open working day ends
    // by itself, once, and so does the day of a work start on its way. `ended` runs on the main thread once nothing
    // is on its way to kintone any more, or after `limit`. Every way the session ends shares the limit the first one
    // set.
    void sessionEnds(std::function<void()> ended, std::chrono::milliseconds limit);
    // Ends the run: the one quit request that does not come from outside.
    void quit();
    // The same, for a process that is ending whether or not the event loop runs (its display gone): blocks the calling
    // thread, whichever it is, and needs neither the main thread nor the display. True when nothing is left on its
    // way.
    bool sessionEndsNow(std::chrono::milliseconds limit);

    // Null until launched.
    TrayIcon* trayIcon() const { return m_trayIcon.get(); }
    QMenu* menu() const { return m_menu.get(); }
    FormWindow* attendWindow() const { return m_attendWindow.get(); }
    FormWindow* settingWindow() const { return m_settingWindow.get(); }
    const Attendance& attendance() const { return *m_attendance; }
    const PowerEvents* powerEvents() const { return m_powerEvents.get(); }

signals:
    // The tray shows the working day as it is now.
    void stateShown();
    // The application was asked to quit from outside: the session manager's Die, after a logout's save. A save
    // alone (a checkpoint, a logout another program cancels) asks nothing.
    void quitRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenu();
    // Shows the working day in the tray: icon, tool tip, and which commands can be asked now.
    void showState();
    void showStateInTray();
    void observe();
    // Whether a kintone subdomain is stored: nothing can be sent without one.
    bool isConfigured() const;
    // False, after the alert, when not configured.
    bool requireConfigured() const;
    // When the session's end gives up waiting for kintone: fixed by the first way it ends.
    std::chrono::steady_clock::time_point sessionDeadline(std::chrono::milliseconds limit);

    const std::shared_ptr<SettingsStore> m_store;
    const Kintone m_kintone;
    const std::shared_ptr<MainQueue> m_mainQueue;
    const std::shared_ptr<Alert> m_alert;
    Notifications* const m_notifications;
    const QDBusConnection m_systemBus;
    const QDBusConnection m_sessionBus;
    const std::shared_ptr<Attendance> m_attendance;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<TrayIcon> m_trayIcon;
    std::unique_ptr<FormWindow> m_attendWindow;
    std::unique_ptr<FormWindow> m_settingWindow;
    std::unique_ptr<PowerEvents> m_powerEvents;
    // Whether the icon shown is the on-duty one; none before the first is drawn.
    std::optional<bool> m_iconOnDuty;
    bool m_launched = false;
    bool m_quitting = false;
    std::once_flag m_sessionEnding;
    std::chrono::steady_clock::time_point m_sessionDeadline;
};

} // namespace stampo
