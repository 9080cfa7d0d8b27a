#pragma once

#include "kintone/Kintone.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace stampo {

class Alert;
class MainQueue;
class Reachability;
class SettingsStore;

// Records the working day in kintone: a work start adds a record, a work end fills in its end time. A work end
// that cannot be sent is kept in the settings store (PendingWorkEnds) and sent after the next successful work start,
// so that it survives a network outage and a restart. Make it with std::make_shared:
// requests in flight keep it alive.
class Attendance final : public std::enable_shared_from_this<Attendance> {
public:
    using Json = Kintone::Json;
    using UserInfo = std::map<std::string, std::string>;
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    using Listener = std::function<void()>;

    Attendance(std::shared_ptr<SettingsStore> store, Kintone kintone, std::shared_ptr<const Reachability> reachability,
               std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<Alert> alert,
               Clock clock = &std::chrono::system_clock::now);

    // The "didStampoAttend" notification: stores the chosen employee and starts the working day. Runs on a worker;
    // returns once the work start has been handed to kintone or has stopped.
    void didStampoAttend(const std::optional<UserInfo>& userInfo);
    void startWork();
    // `startTime` is `startedAt` as kintone's date-time text.
    void addStartRecord(const std::string& startTime, std::chrono::system_clock::time_point startedAt);
    void startRecordAdded(const Json& response, std::chrono::system_clock::time_point startedAt);
    // Sends a work end and returns only when the attempt has ended. Without a record id it ends the open working
    // day; without an end time it ends it now. Interactive attempts announce their success.
    void endWork(bool interactive, const std::optional<std::string>& recordId = std::nullopt,
                 const std::optional<std::string>& endTime = std::nullopt);

    // The same on a thread of their own, returning at once: for the main thread, which must never wait for
    // kintone. The attempt counts as sending from the call on.
    void didStampoAttendInBackground(const std::optional<UserInfo>& userInfo);
    void endWorkInBackground(bool interactive);

    // The record of the open working day; empty when off duty.
    std::string recordno() const;
    // When the open working day started.
    std::chrono::system_clock::time_point startedAt() const;
    // A work start or work end is on its way to kintone, or about to be.
    bool isSending() const;
    // A work end kintone has not had is stored, to be sent after the next work start.
    bool hasPendingWorkEnd() const;
    // Called, on whichever thread made the change, whenever one of the four above may have changed. Set it
    // before the first request.
    void setStateListener(Listener listener);

private:
    struct EndContext;

    void updateEndRecord(const std::string& recordId, const std::string& endTime,
                         const std::shared_ptr<EndContext>& context);
    void endRecordUpdated(const Json& response, EndContext& context);
    void endRecordFailed(EndContext& context, Kintone::FailureCause cause);

    void setRecordno(const std::string& value, std::chrono::system_clock::time_point startedAt = {});
    void clearRecordnoIf(const std::string& value);
    // Stores the chosen employee and starts the working day, on the calling thread.
    void attend(const UserInfo& userInfo);
    void keepPendingWorkEnd(const EndContext& context);
    void dropPendingWorkEnd(const EndContext& context);
    void queueAlert(const std::string& message) const;
    void beginSending();
    void endSending();
    void stateChanged() const;
    // Runs `work` on a thread of its own (here when none can be started), counting as sending until it returns.
    void inBackground(std::function<void()> work);

    const std::shared_ptr<SettingsStore> m_store;
    const Kintone m_kintone;
    const std::shared_ptr<const Reachability> m_reachability;
    const std::shared_ptr<MainQueue> m_mainQueue;
    const std::shared_ptr<Alert> m_alert;
    const Clock m_clock;

    // The pending work ends are read, changed and written back by one thread at a time.
    std::mutex m_pendingMutex;
    mutable std::mutex m_recordnoMutex;
    std::string m_recordno;
    std::chrono::system_clock::time_point m_startedAt;
    std::atomic<int> m_sending{0};
    Listener m_listener;
};

} // namespace stampo
