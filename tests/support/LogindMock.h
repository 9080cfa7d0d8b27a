#pragma once

#include "support/WidgetTesting.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QUuid>

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

// A D-Bus daemon of the test's own standing in for the system or the session bus: the code under test is handed the
// connection.
class PrivateBus final {
public:
    PrivateBus() {
        // It prints its address once it listens.
        while (m_daemon.running() && !m_daemon.canReadLine() && m_daemon.waitForReadyRead(30000)) {
        }
        m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
        if (!QDBusConnection::connectToBus(m_address, m_name).isConnected())
            ADD_FAILURE() << "no private D-Bus daemon";
    }
    ~PrivateBus() { QDBusConnection::disconnectFromBus(m_name); }

    const QString& address() const { return m_address; }
    QDBusConnection connection() const { return QDBusConnection(m_name); }

private:
    ChildProcess m_daemon{{"/usr/bin/dbus-daemon", "--config-file=/usr/share/dbus-1/session.conf",
                           "--address=unix:tmpdir=/tmp", "--nofork", "--print-address"},
                          {},
                          true};
    const QString m_name = QUuid::createUuid().toString(); // the connection's name in this process
    QString m_address;
};

// python-dbusmock serving `service` at `path` from `templateName` (with its JSON `parameters`) on a private bus, as the
// bus the template is for (system or session), once it owns `service`. It goes away with the object, as a service does
// when its process ends.
class DBusMock {
public:
    DBusMock(const PrivateBus& bus, const QString& templateName, const QString& parameters, QString service,
             QString path)
        : m_bus(bus.connection())
        , m_service(std::move(service))
        , m_path(std::move(path))
        , m_process({"/usr/bin/python3", "-m", "dbusmock", "--template", templateName, "--parameters", parameters},
                    {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address(), "DBUS_SESSION_BUS_ADDRESS=" + bus.address()}) {
        const auto serves = [this] { return m_bus.isConnected() && m_bus.interface()->isServiceRegistered(m_service); };
        if (!pollUntil([&] { return !m_process.running() || serves(); }) || !serves())
            ADD_FAILURE() << "python-dbusmock does not serve " << m_service.toStdString();
    }

    QDBusMessage call(const QString& interface, const QString& method, const QVariantList& arguments = {}) const {
        QDBusMessage message = QDBusMessage::createMethodCall(m_service, m_path, interface, method);
        message.setArguments(arguments);
        return m_bus.call(message);
    }
    bool succeeds(const QString& interface, const QString& method, const QVariantList& arguments = {}) const {
        return call(interface, method, arguments).type() == QDBusMessage::ReplyMessage;
    }
    // Emits `interface`'s signal `name` with `arguments` of D-Bus `signature` through the mock.
    bool emitSignal(const QString& interface, const QString& name, const QString& signature,
                    const QVariantList& arguments) const {
        return succeeds("org.freedesktop.DBus.Mock", "EmitSignal", {interface, name, signature, arguments});
    }

private:
    const QDBusConnection m_bus;
    const QString m_service, m_path;
    ChildProcess m_process;
};

// python-dbusmock's logind on a private bus: Inhibit hands out pipe ends and lists them until they are closed, and
// the test emits the manager's signals through the mock.
class LogindMock final : public DBusMock {
public:
    explicit LogindMock(const PrivateBus& bus)
        : DBusMock(bus, "logind", "{}", "org.freedesktop.login1", "/org/freedesktop/login1") {}

    // The lock Stampo takes, as inhibitors() lists it.
    static inline const QList<QStringList> ourLock{{"sleep:shutdown", "Stampo", "勤務終了を送信しています", "delay"}};

    // The inhibitor locks logind holds, in the order taken, each as what, who, why and mode.
    QList<QStringList> inhibitors() const {
        QList<QStringList> list;
        const auto argument = call(manager, "ListInhibitors").arguments().value(0).value<QDBusArgument>();
        for (argument.beginArray(); !argument.atEnd(); argument.endStructure()) {
            QStringList lock(4);
            uint user = 0, process = 0;
            argument.beginStructure();
            argument >> lock[0] >> lock[1] >> lock[2] >> lock[3] >> user >> process;
            list << lock;
        }
        argument.endArray();
        return list;
    }

    // Emits the manager's signal `name` (PrepareForSleep, PrepareForShutdown) with its one boolean.
    bool emitSignal(const QString& name, bool value) const { return DBusMock::emitSignal(manager, name, "b", {value}); }

private:
    static inline const QString manager = QStringLiteral("org.freedesktop.login1.Manager");
};

} // namespace stampo::test
