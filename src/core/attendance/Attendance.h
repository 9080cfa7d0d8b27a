#pragma once

#include "kintone/Kintone.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace stampo {

class Alert;
class MainQueue;
class Reachability;
class SettingsStore;
struct PendingWorkEnd;

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
    // A line for the user's session log (standard error); never a credential.
    using Notice = std::function<void(const std::string&)>;
    // Why the working day ends by itself.
    enum class Ending {
        Suspend, // the machine goes to sleep or powers off: a work start answered meanwhile gets its end too
        Session, // the session ends: so does every work start answered from now on, until the process is gone
    };

    Attendance(std::shared_ptr<SettingsStore> store, Kintone kintone, std::shared_ptr<const Reachability> reachability,
               std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<Alert> alert,
               Clock clock = &std::chrono::system_clock::now, Notice notice = toStandardError);

    void startWork();
    // `startTime` is `startedAt` as kintone's date-time text.
    void addStartRecord(const std::string& startTime, std::chrono::system_clock::time_point startedAt);
    void startRecordAdded(const Json& response, std::chrono::system_clock::time_point startedAt);
    // Sends a work end and returns only when the attempt has ended. Without a record id it ends the open working
    // day; without an end time it ends it now. Interactive attempts announce their success.
    void endWork(bool interactive, const std::optional<std::string>& recordId = std::nullopt,
                 const std::optional<std::string>& endTime = std::nullopt);

    // The "didStampoAttend" notification: stores the chosen employee and starts the working day; and a work end.
    // Both on a thread of their own, returning at once: for the main thread, which must never wait for kintone. The
    // attempt counts as sending from the call on.
    void didStampoAttend(const std::optional<UserInfo>& userInfo);
    void endWorkInBackground(bool interactive);

    // The working day ends by itself: the open day's automatic work end is sent, unless its end is on its way already
    // (at the end of the session, only the first call sends it), and so is that of the day a work start on its way
    // opens meanwhile. Returns once nothing is on its way to kintone any more, true, or at `deadline`, false. Any
    // thread; it never needs the main thread.
    bool endBySelf(Ending ending, std::chrono::steady_clock::time_point deadline);

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

    // The first step of a work end, from which on it counts as on its way; none when off duty, or when
    // `unlessOnItsWay` and an end of that record is on its way already.
    std::shared_ptr<EndContext> beginEnd(bool interactive, const std::optional<std::string>& recordId,
                                         const std::optional<std::string>& endTime, bool unlessOnItsWay);
    // Keeps the work end, sends it and waits for the attempt to end.
    void sendEnd(const std::shared_ptr<EndContext>& context);
    void updateEndRecord(const std::string& recordId, const std::string& endTime,
                         const std::shared_ptr<EndContext>& context);
    void endRecordUpdated(const Json& response, EndContext& context);
    void endRecordFailed(EndContext& context, Kintone::FailureCause cause);

    void clearRecordno();
    void clearRecordnoIf(const std::string& value);
    // Whether the network can be used for a request to kintone, through the proxy that carries it.
    bool isReachable() const;
    // Whether the working day ends by itself now, so that one opening now ends at once.
    bool isClosing() const;
    // The same, with m_stateMutex held.
    bool isClosingLocked() const;
    // The kept work ends; an entry that cannot be read is told of once.
    std::vector<PendingWorkEnd> readPending() const;
    static void toStandardError(const std::string& notice);
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
    const Notice m_notice;

    // The pending work ends are read, changed and written back by one thread at a time.
    std::mutex m_pendingMutex;
    mutable std::atomic<bool> m_toldUnreadable{false};

    mutable std::mutex m_stateMutex;
    std::condition_variable m_settled;
    std::string m_recordno;
    std::chrono::system_clock::time_point m_startedAt;
    // Work starts and work ends on their way, and the records of those ends.
    int m_sending = 0;
    std::multiset<std::string> m_ending;
    bool m_sessionOver = false;
    int m_suspending = 0;
    Listener m_listener;
};

} // namespace stampo
