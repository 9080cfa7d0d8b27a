#pragma once

#include "support/LogindMock.h"

#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

namespace stampo::test {

// Calls over `bus` while the event loop runs, so that an object of this very process can answer.
inline QDBusMessage callServed(const QDBusConnection& bus, const QDBusMessage& message) {
    const QDBusPendingCallWatcher call(bus.asyncCall(message));
    processEventsUntil([&] { return call.isFinished(); });
    return call.reply();
}

// python-dbusmock serving a panel's StatusNotifierWatcher (support/status_notifier_watcher.py) on a private bus,
// with or without a host registered. It goes away with the object, as the watcher does when its panel quits.
class StatusNotifierWatcherMock final : public DBusMock {
public:
    // One that `refusesItems` answers each registration with an error.
    StatusNotifierWatcherMock(const PrivateBus& bus, bool host, bool refusesItems = false)
        : DBusMock(bus, false, STAMPO_SNI_WATCHER_TEMPLATE,
                   QStringLiteral(R"({"host": %1, "refuse": %2})")
                       .arg(host ? "true" : "false", refusesItems ? "true" : "false"),
                   interface, "/StatusNotifierWatcher") {}

    // The items registered, in order, each as its registration named it.
    QStringList items() const {
        return call(properties, "Get", {interface, QStringLiteral("RegisteredStatusNotifierItems")})
            .arguments()
            .value(0)
            .value<QDBusVariant>()
            .variant()
            .toStringList();
    }

    // A host registering with the watcher, or leaving it.
    bool setHost(bool registered) const {
        if (registered)
            return succeeds(interface, "RegisterStatusNotifierHost", {QStringLiteral("org.kde.StatusNotifierHost-1")});
        return succeeds(properties, "Set",
                        {interface, QStringLiteral("IsStatusNotifierHostRegistered"),
                         QVariant::fromValue(QDBusVariant(false))}) &&
               emitSignal(interface, "StatusNotifierHostUnregistered", {}, {});
    }

private:
    static inline const QString interface = QStringLiteral("org.kde.StatusNotifierWatcher");
    static inline const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");
};

} // namespace stampo::test
