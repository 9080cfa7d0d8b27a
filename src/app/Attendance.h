#pragma once

#include "kintone/Kintone.h"

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
// that cannot be sent is kept in the settings store ("keepRecordno", "keepOuttime") and sent after the next
// successful work start, so that it survives a network outage and a restart. Make it with std::make_shared:
// requests in flight keep it alive.
class Attendance final : public std::enable_shared_from_this<Attendance> {
public:
    using Json = Kintone::Json;
    using UserInfo = std::map<std::string, std::string>;
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    Attendance(std::shared_ptr<SettingsStore> store, Kintone kintone, std::shared_ptr<const Reachability> reachability,
               std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<Alert> alert,
               Clock clock = &std::chrono::system_clock::now);

    // The "didStampoAttend" notification: stores the chosen employee and starts the working day. Runs on a worker;
    // returns once the work start has been handed to kintone or has stopped.
    void didStampoAttend(const std::optional<UserInfo>& userInfo);
    void startWork();
    void addStartRecord(const std::string& startTime);
    void startRecordAdded(const Json& response);
    // Sends a work end and returns only when the attempt has ended. Without a record id it ends the open working
    // day; without an end time it ends it now. Interactive attempts announce their success.
    void endWork(bool interactive, const std::optional<std::string>& recordId = std::nullopt,
                 const std::optional<std::string>& endTime = std::nullopt);

    // The record of the open working day; empty when off duty.
    std::string recordno() const;

private:
    struct EndContext;

    void updateEndRecord(const std::string& recordId, const std::string& endTime,
                         const std::shared_ptr<EndContext>& context);
    void endRecordUpdated(const Json& response, EndContext& context);
    void endRecordFailed(EndContext& context, Kintone::FailureCause cause);

    void setRecordno(const std::string& value);
    void clearRecordnoIf(const std::string& value);
    void dropPendingWorkEnd(const EndContext& context);
    void queueAlert(const std::string& message) const;

    const std::shared_ptr<SettingsStore> m_store;
    const Kintone m_kintone;
    const std::shared_ptr<const Reachability> m_reachability;
    const std::shared_ptr<MainQueue> m_mainQueue;
    const std::shared_ptr<Alert> m_alert;
    const Clock m_clock;

    mutable std::mutex m_recordnoMutex;
    std::string m_recordno;
};

} // namespace stampo
