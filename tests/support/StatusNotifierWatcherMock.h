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
class StatusNotifierWatcherMock final {
public:
    // Waits until the mock owns the watcher's name; running() tells whether it did. One that `refusesItems` answers
    // each registration with an error.
    StatusNotifierWatcherMock(const PrivateBus& bus, bool host, bool refusesItems = false)
        : m_bus(bus.connection())
        , m_process({"/usr/bin/python3", "-m", "dbusmock", "--template", STAMPO_SNI_WATCHER_TEMPLATE, "--parameters",
                     QStringLiteral(R"({"host": %1, "refuse": %2})")
                         .arg(host ? "true" : "false", refusesItems ? "true" : "false")},
                    {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()}) {
        pollUntil([this] { return !m_process.running() || running(); });
    }

    bool running() const {
        return m_process.running() && m_bus.isConnected() && m_bus.interface()->isServiceRegistered(service);
    }

    // The items registered, in order, each as its registration named it.
    QStringList items() const {
        QDBusMessage get = QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Get");
        get << interface << QStringLiteral("RegisteredStatusNotifierItems");
        return m_bus.call(get).arguments().value(0).value<QDBusVariant>().variant().toStringList();
    }

    // A host registering with the watcher, or leaving it.
    bool setHost(bool registered) const {
        if (registered) {
            QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, "RegisterStatusNotifierHost");
            call << QStringLiteral("org.kde.StatusNotifierHost-1");
            return m_bus.call(call).type() == QDBusMessage::ReplyMessage;
        }
        QDBusMessage set = QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Set");
        set << interface << QStringLiteral("IsStatusNotifierHostRegistered")
            << QVariant::fromValue(QDBusVariant(false));
        QDBusMessage announce =
            QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Mock", "EmitSignal");
        announce << interface << QStringLiteral("StatusNotifierHostUnregistered") << QString() << QVariantList();
        return m_bus.call(set).type() == QDBusMessage::ReplyMessage &&
               m_bus.call(announce).type() == QDBusMessage::ReplyMessage;
    }

private:
    static inline const QString service = QStringLiteral("org.kde.StatusNotifierWatcher");
    static inline const QString path = QStringLiteral("/StatusNotifierWatcher");
    static inline const QString interface = QStringLiteral("org.kde.StatusNotifierWatcher");

    const QDBusConnection m_bus;
    ChildProcess m_process;
};

} // namespace stampo::test
