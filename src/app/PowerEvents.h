#pragma once

#include "kintone/TransportOptions.h"
#include "util/FileDescriptor.h"

#include <QDBusConnection>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>

class QDBusPendingCallWatcher;

namespace stampo {

// Holds a logind "delay" inhibitor lock so that a handler (the automatic work end) can run before the machine
// sleeps or powers off, and reports the wake-up. Without a bus or without logind on it, it does nothing.
class PowerEvents final : public QObject {
    Q_OBJECT
public:
    // Receives the instant the lock goes at the latest.
    using Handler = std::function<void(std::chrono::steady_clock::time_point deadline)>;

    // logind waits for delay locks up to InhibitDelayMaxSec, 5 s unless configured: release a little earlier.
    static constexpr std::chrono::milliseconds defaultMaxDelay{4000};

    // `handler` runs on a worker thread that `startThread` starts, and may block; the lock is released when it
    // returns or after `maxDelay`, whichever comes first.
    PowerEvents(QDBusConnection bus, Handler handler, TransportOptions::ThreadStarter startThread,
                std::chrono::milliseconds maxDelay = defaultMaxDelay, QObject* parent = nullptr);
    ~PowerEvents() override;

    bool holdsLock() const { return m_lock.get() >= 0; }
    // True while a handler started by a sleep or power-off has not returned yet.
    bool isHandling() const;

signals:
    void didWake();

private slots:
    // Called through QtDBus by name, hence slots.
    void prepareForSleep(bool start);
    void prepareForShutdown(bool start);

private:
    struct Shared;
    class Hold;

    void takeLock();
    void lockTaken(QDBusPendingCallWatcher* call);
    void beforeSuspend();
    void resumed();

    const QDBusConnection m_bus;
    const TransportOptions::ThreadStarter m_startThread;
    const std::chrono::milliseconds m_maxDelay;
    const std::shared_ptr<Shared> m_shared;
    FileDescriptor m_lock{-1};
    bool m_requesting = false;
    // Between a sleep or power-off announcement and the wake-up (or the cancelled power-off): no lock is taken.
    bool m_suspending = false;
};

} // namespace stampo
