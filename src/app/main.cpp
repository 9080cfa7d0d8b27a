// stampo: the tray application. No window of its own stays open, so closing a form must not end the run.
#include "AppDelegate.h"
#include "CommandLine.h"
#include "Keyring.h"
#include "KeyringSettingsStore.h"
#include "PlatformPreference.h"
#include "PowerEvents.h"
#include "QSettingsStore.h"
#include "QtMainQueue.h"
#include "SingleInstance.h"
#include "SuddenEnd.h"
#include "UnixSignals.h"
#include "kintone/Kintone.h"
#include "kintone/WorkerThreads.h"
#include "net/Reachability.h"
#include "widgets/MessageBoxAlert.h"
#include "widgets/Notifications.h"

#include <QApplication>
#include <QDBusConnection>
#include <QFont>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

namespace {

using namespace std::chrono_literals;

// How long a later launch tries to reach the running instance, which may itself be starting.
constexpr auto knockTimeout = 5s;
// How long a quitting process lets requests still in flight finish once the work end has had its own few seconds: a
// process asked to end must be gone in a few seconds more, whatever kintone does.
constexpr auto requestsGrace = 1500ms;

} // namespace

int main(int argc, char** argv) {
    if (const auto answer = stampo::CommandLine::answer({argv, static_cast<std::size_t>(argc)})) {
        std::fputs(answer->out.c_str(), stdout);
        std::fputs(answer->err.c_str(), stderr);
        return answer->exitCode;
    }
    stampo::preferX11Platform();
    QApplication application(argc, argv);
    QApplication::setApplicationName("Stampo");
    QApplication::setOrganizationName("Stampo");
    QApplication::setQuitOnLastWindowClosed(false);
    // The employee window may stay open all day with the keyboard in its box: a blinking text cursor would wake the
    // process several times a second for nothing. The cursor stays shown, without blinking.
    QApplication::setCursorFlashTime(0);
    // The forms' fixed layouts are measured for 13 px text; larger desktop defaults would clip them.
    QFont font = QApplication::font();
    font.setPixelSize(13);
    QApplication::setFont(font);

    const QString settingsFile = stampo::QSettingsStore::defaultFileName();
    stampo::SingleInstance instance(stampo::SingleInstance::defaultDirectory(), settingsFile);
    if (!instance.becomePrimary())
        return instance.knock(knockTimeout) ? EXIT_SUCCESS : EXIT_FAILURE;

    stampo::UnixSignals unixSignals({SIGTERM, SIGINT, SIGHUP});

    stampo::WorkerThreads workers;
    stampo::TransportOptions transport = stampo::TransportOptions::fromEnvironment();
    transport.startThread = workers.starter();
    const auto mainQueue = std::make_shared<stampo::QtMainQueue>();
    const auto alert = std::make_shared<stampo::MessageBoxAlert>();
    stampo::Notifications notifications;
    const auto file = std::make_shared<stampo::QSettingsStore>(settingsFile);
    const auto store = std::make_shared<stampo::KeyringSettingsStore>(
        file, std::make_unique<stampo::Keyring>(file->fileName().toStdString()),
        [](const std::string& notice) { std::fprintf(stderr, "%s\n", notice.c_str()); }, workers.starter());
    stampo::AppDelegate delegate(store, stampo::Kintone(mainQueue, alert, transport),
                                 std::make_shared<stampo::HostReachability>(), mainQueue, alert, &notifications,
                                 QDBusConnection::systemBus(), QDBusConnection::sessionBus());
    // The end of the session ends the open working day, and then the run: logging out (the session manager's Die),
    // a terminal's Ctrl-C and `kill` through the event loop, with up to a few seconds for kintone; a second request
    // does not wait.
    bool ending = false;
    const auto endSession = [&delegate, &ending] {
        if (std::exchange(ending, true))
            return delegate.quit();
        delegate.sessionEnds([&delegate] { delegate.quit(); }, stampo::PowerEvents::defaultMaxDelay);
    };
    QObject::connect(&unixSignals, &stampo::UnixSignals::received, &delegate, endSession);
    QObject::connect(&delegate, &stampo::AppDelegate::quitRequested, &delegate, endSession);
    // The display going away (a session without a session manager ends with its X server; the server or the
    // compositor may crash) ends the process from inside Qt, where the event loop gets no chance: the day ends there.
    const stampo::SuddenEnd suddenEnd([&delegate] { delegate.sessionEndsNow(stampo::PowerEvents::defaultMaxDelay); });
    // The windows read the credentials, so they come once the keyring has answered, which may wait for the user to
    // unlock it; the tray shows at once and the event loop runs meanwhile. From inside the event loop, so that a
    // signal arriving while the first alert is up still ends the run.
    QTimer::singleShot(0, &delegate, [&delegate] { delegate.showTray(); });
    store->whenLoaded([mainQueue, &delegate, &instance] {
        mainQueue->async([&delegate, &instance] {
            delegate.applicationDidFinishLaunching();
            QObject::connect(&instance, &stampo::SingleInstance::knocked, &delegate, &stampo::AppDelegate::reopen);
        });
    });
    const int status = QApplication::exec();
    // However else the event loop ended, the open working day ends with it.
    if (!ending)
        delegate.sessionEndsNow(stampo::PowerEvents::defaultMaxDelay);
    // The keyring's thread is one of the workers: it ends here, what it has not written staying in the file.
    store->close();

    // A worker still running would race the process's own teardown (curl and TLS clean-up at exit), so after the
    // grace the process ends without running destructors; the settings file is written through on every change.
    if (!workers.waitIdle(requestsGrace)) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
