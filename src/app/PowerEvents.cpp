#include "PowerEvents.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QTimer>

#include <atomic>
#include <mutex>

#include <fcntl.h>

namespace stampo {

namespace {

const QString loginService = QStringLiteral("org.freedesktop.login1");
const QString loginPath = QStringLiteral("/org/freedesktop/login1");
const QString loginManager = QStringLiteral("org.freedesktop.login1.Manager");
// What `systemd-inhibit --list` shows for our lock.
const QString inhibitWhat = QStringLiteral("sleep:shutdown");
const QString inhibitWho = QStringLiteral("Stampo");
const QString inhibitWhy = QStringLiteral("勤務終了を送信しています");
// Not "block": the machine still goes, only a little later.
const QString inhibitMode = QStringLiteral("delay");

} // namespace

// What the worker threads share with the object, which may be gone before they end.
struct PowerEvents::Shared {
    explicit Shared(Handler h)
        : handler(std::move(h)) {}

    const Handler handler;
    // One handler at a time: an announcement during a work end waits for it.
    std::mutex serial;
    std::atomic<int> running{0};
};

// The lock held for one announcement, released by the handler's return or the deadline, whichever comes first.
class PowerEvents::Hold {
public:
    explicit Hold(FileDescriptor lock)
        : m_lock(std::move(lock)) {}

    void release() {
        std::lock_guard guard(m_mutex);
        m_lock.reset();
    }

private:
    std::mutex m_mutex;
    FileDescriptor m_lock;
};

PowerEvents::PowerEvents(QDBusConnection bus, Handler handler, TransportOptions::ThreadStarter startThread,
                         std::chrono::milliseconds maxDelay, QObject* parent)
    : QObject(parent)
    , m_bus(bus)
    , m_startThread(std::move(startThread))
    , m_maxDelay(maxDelay)
    , m_shared(std::make_shared<Shared>(std::move(handler))) {
    if (!bus.isConnected())
        return;
    // QtDBus delivers a bus signal only to a slot named by its signature: it has no pointer-to-member form.
    bus.connect(loginService, loginPath, loginManager, QStringLiteral("PrepareForSleep"), this,
                SLOT(prepareForSleep(bool)));
    bus.connect(loginService, loginPath, loginManager, QStringLiteral("PrepareForShutdown"), this,
                SLOT(prepareForShutdown(bool)));
    // logind may come up after us.
    auto* const watcher = new QDBusServiceWatcher(loginService, bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &PowerEvents::takeLock);
    takeLock();
}

PowerEvents::~PowerEvents() = default;

bool PowerEvents::isHandling() const {
    return m_shared->running > 0;
}

void PowerEvents::prepareForSleep(bool start) {
    if (start)
        return beforeSuspend();
    resumed();
    emit didWake();
}

void PowerEvents::prepareForShutdown(bool start) {
    // false: the power-off was cancelled.
    if (start)
        return beforeSuspend();
    resumed();
}

void PowerEvents::takeLock() {
    if (holdsLock() || m_requesting || m_suspending || !m_bus.isConnected() ||
        !(m_bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing))
        return;
    QDBusMessage inhibit =
        QDBusMessage::createMethodCall(loginService, loginPath, loginManager, QStringLiteral("Inhibit"));
    inhibit << inhibitWhat << inhibitWho << inhibitWhy << inhibitMode;
    m_requesting = true;
    auto* const call = new QDBusPendingCallWatcher(m_bus.asyncCall(inhibit), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, &PowerEvents::lockTaken);
}

void PowerEvents::lockTaken(QDBusPendingCallWatcher* call) {
    call->deleteLater();
    m_requesting = false;
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
    if (reply.isError() || !reply.value().isValid())
        return;
    // The reply closes its own copy; ours must not leak into child processes, where it would keep the lock.
    FileDescriptor lock(::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0));
    // A lock granted after the announcement would only hold the machine up: it is dropped here.
    if (!m_suspending)
        m_lock = std::move(lock);
}

void PowerEvents::beforeSuspend() {
    m_suspending = true;
    // Moving leaves no lock held here; wake takes a new one.
    const auto hold = std::make_shared<Hold>(std::move(m_lock));
    QTimer::singleShot(m_maxDelay, Qt::PreciseTimer, this, [hold] { hold->release(); });
    const auto deadline = std::chrono::steady_clock::now() + m_maxDelay;
    ++m_shared->running;
    const auto handle = [shared = m_shared, hold, deadline] {
        {
            std::lock_guard serial(shared->serial);
            shared->handler(deadline);
        }
        hold->release();
        --shared->running;
    };
    // Without a thread the handler runs here: the machine may as well wait for it, within its deadline.
    if (!m_startThread(handle))
        handle();
}

void PowerEvents::resumed() {
    m_suspending = false;
    takeLock();
}

} // namespace stampo
