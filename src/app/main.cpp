// stampo: the tray application. No window of its own stays open, so closing a form must not end the run.
#include "app/AppDelegate.h"
#include "app/QSettingsStore.h"
#include "app/QtMainQueue.h"
#include "kintone/Kintone.h"
#include "net/Reachability.h"
#include "widgets/MessageBoxAlert.h"
#include "widgets/Notifications.h"

#include <QApplication>
#include <QFont>

#include <memory>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Stampo");
    QApplication::setOrganizationName("Stampo");
    QApplication::setQuitOnLastWindowClosed(false);
    // The forms' fixed layouts are measured for 13 px text; larger desktop defaults would clip them.
    QFont font = QApplication::font();
    font.setPixelSize(13);
    QApplication::setFont(font);

    const auto mainQueue = std::make_shared<stampo::QtMainQueue>();
    const auto alert = std::make_shared<stampo::MessageBoxAlert>();
    stampo::Notifications notifications;
    stampo::AppDelegate delegate(std::make_shared<stampo::QSettingsStore>(),
                                 stampo::Kintone(mainQueue, alert, stampo::TransportOptions::fromEnvironment()),
                                 std::make_shared<stampo::HostReachability>(), mainQueue, alert, &notifications);
    delegate.applicationDidFinishLaunching();
    return QApplication::exec();
}
