#pragma once

#include "support/WidgetTesting.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QTimer>

#include <atomic>
#include <csignal>

#include <sys/prctl.h>

namespace stampo::test {

// Runs the Qt event loop, checking `condition` every few milliseconds, until it holds; false at the deadline. For
// conditions no event of this process announces (another process's state, a worker's).
inline bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = deadline) {
    QTimer tick;
    tick.start(std::chrono::milliseconds(5));
    return processEventsUntil(condition, timeout);
}

// A child process that is killed when the object goes, and also when the test process dies (a time-out's SIGKILL).
// Its chatter is not the test's output: only a child whose output the test reads keeps its standard output.
class ChildProcess final : public QProcess {
public:
    explicit ChildProcess(const QStringList& command, const QStringList& environment = {}, bool readOutput = false) {
        setEnvironment(QProcess::systemEnvironment() + environment); // the later of two settings wins
        setStandardErrorFile(QProcess::nullDevice());
        if (!readOutput)
            setStandardOutputFile(QProcess::nullDevice());
        setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        start(command.first(), command.mid(1));
        waitForStarted();
    }
    ~ChildProcess() override {
        kill();
        waitForFinished();
    }
    bool running() const { return state() == QProcess::Running; }
};

// A D-Bus daemon of the test's own standing in for the system bus: the code under test is handed the connection.
class PrivateBus final {
public:
    PrivateBus() {
        // It prints its address once it listens.
        while (m_daemon.running() && !m_daemon.canReadLine() && m_daemon.waitForReadyRead(30000)) {
        }
        m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
        m_connection = QDBusConnection::connectToBus(m_address, m_name);
    }
    ~PrivateBus() { QDBusConnection::disconnectFromBus(m_name); }

    bool connected() const { return m_connection.isConnected(); }
    const QString& address() const { return m_address; }
    QDBusConnection connection() const { return m_connection; }

private:
    ChildProcess m_daemon{{"/usr/bin/dbus-daemon", "--config-file=/usr/share/dbus-1/session.conf",
                           "--address=unix:tmpdir=/tmp", "--nofork", "--print-address"},
                          {},
                          true};
    const QString m_name = [] {
        static std::atomic<int> count{0};
        return QStringLiteral("stampo-test-bus-%1").arg(++count);
    }();
    QString m_address;
    QDBusConnection m_connection{QString()};
};

// python-dbusmock's logind on a private bus: Inhibit hands out pipe ends and lists them until they are closed, and
// the test emits the manager's signals through the mock.
class LogindMock final {
public:
    // Waits until the mock owns logind's name; running() tells whether it did.
    explicit LogindMock(const PrivateBus& bus)
        : m_bus(bus.connection())
        , m_process({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"},
                    {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()}) {
        pollUntil([this] { return !m_process.running() || running(); });
    }

    bool running() const {
        return m_process.running() && m_bus.isConnected() && m_bus.interface()->isServiceRegistered(service);
    }

    // The inhibitor locks logind holds, in the order taken, each as what, who, why and mode.
    QList<QStringList> inhibitors() const {
        const QDBusMessage reply = m_bus.call(QDBusMessage::createMethodCall(service, path, manager, "ListInhibitors"));
        QList<QStringList> list;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return list;
        const auto argument = reply.arguments().constFirst().value<QDBusArgument>();
        argument.beginArray();
        while (!argument.atEnd()) {
            QString what, who, why, mode;
            uint user = 0, process = 0;
            argument.beginStructure();
            argument >> what >> who >> why >> mode >> user >> process;
            argument.endStructure();
            list << QStringList{what, who, why, mode};
        }
        argument.endArray();
        return list;
    }

    // Emits the manager's signal `name` (PrepareForSleep, PrepareForShutdown) with its one boolean.
    bool emitSignal(const QString& name, bool value) const {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Mock", "EmitSignal");
        call << manager << name << QStringLiteral("b") << QVariantList{value};
        return m_bus.call(call).type() == QDBusMessage::ReplyMessage;
    }

private:
    static inline const QString service = QStringLiteral("org.freedesktop.login1");
    static inline const QString path = QStringLiteral("/org/freedesktop/login1");
    static inline const QString manager = QStringLiteral("org.freedesktop.login1.Manager");

    const QDBusConnection m_bus;
    ChildProcess m_process;
};

} // namespace stampo::test
