#include "attendance/Attendance.h"

#include "Alert.h"
#include "MainQueue.h"
#include "SettingsStore.h"
#include "ZUMFunc.h"
#include "attendance/PendingWorkEnds.h"
#include "kintone/ErrorTexts.h"
#include "net/Reachability.h"

#include <algorithm>
#include <semaphore>
#include <system_error>
#include <thread>

namespace stampo {

struct Attendance::EndContext {
    std::string recordId;
    std::string endTime;
    bool fromRecordno = false;
    bool interactive = false;
    std::counting_semaphore<> done{0};
};

namespace {

constexpr const char* sentMessage = "送信完了";
constexpr const char* offlineMessage = "ネットワークに接続していません";
constexpr const char* incompleteMessage = "Kintone設定が完了していません";

// A record body entry: the field stored under `fieldKey`, typed by its type key, holding `text`.
bool putField(const SettingsStore& store, Kintone::Json& body, const std::string& fieldKey, const std::string& text) {
    const auto code = store.stringForKey(fieldKey);
    const auto type = store.stringForKey(fieldKey + "Type");
    if (!code || !type)
        return false;
    body[*code] = Kintone::fieldValue(*type, text);
    return true;
}

} // namespace

Attendance::Attendance(std::shared_ptr<SettingsStore> store, Kintone kintone,
                       std::shared_ptr<const Reachability> reachability, std::shared_ptr<MainQueue> mainQueue,
                       std::shared_ptr<Alert> alert, Clock clock)
    : m_store(std::move(store))
    , m_kintone(std::move(kintone))
    , m_reachability(std::move(reachability))
    , m_mainQueue(std::move(mainQueue))
    , m_alert(std::move(alert))
    , m_clock(std::move(clock)) {}

std::string Attendance::recordno() const {
    std::lock_guard lock(m_recordnoMutex);
    return m_recordno;
}

std::chrono::system_clock::time_point Attendance::startedAt() const {
    std::lock_guard lock(m_recordnoMutex);
    return m_startedAt;
}

bool Attendance::isSending() const {
    return m_sending > 0;
}

bool Attendance::hasPendingWorkEnd() const {
    return !PendingWorkEnds::read(*m_store).empty();
}

void Attendance::setStateListener(Listener listener) {
    m_listener = std::move(listener);
}

void Attendance::stateChanged() const {
    if (m_listener)
        m_listener();
}

void Attendance::setRecordno(const std::string& value, std::chrono::system_clock::time_point startedAt) {
    {
        std::lock_guard lock(m_recordnoMutex);
        m_recordno = value;
        m_startedAt = startedAt;
    }
    stateChanged();
}

// A work end only closes the working day it was sent for: a work start may have opened another meanwhile.
void Attendance::clearRecordnoIf(const std::string& value) {
    {
        std::lock_guard lock(m_recordnoMutex);
        if (m_recordno != value)
            return;
        m_recordno.clear();
    }
    stateChanged();
}

void Attendance::beginSending() {
    ++m_sending;
    stateChanged();
}

void Attendance::endSending() {
    --m_sending;
    stateChanged();
}

void Attendance::inBackground(std::function<void()> work) {
    beginSending();
    const auto run = [self = shared_from_this(), work = std::move(work)] {
        work();
        self->endSending();
    };
    if (!m_kintone.startThread(run))
        run();
}

void Attendance::didStampoAttendInBackground(const std::optional<UserInfo>& userInfo) {
    if (userInfo)
        inBackground([self = shared_from_this(), userInfo = *userInfo] { self->attend(userInfo); });
}

void Attendance::endWorkInBackground(bool interactive) {
    inBackground([self = shared_from_this(), interactive] { self->endWork(interactive); });
}

void Attendance::queueAlert(const std::string& message) const {
    m_mainQueue->async([alert = m_alert, message] { alert->show(message); });
}

void Attendance::didStampoAttend(const std::optional<UserInfo>& userInfo) {
    if (!userInfo)
        return;
    // The worker only hands the request over; waiting for it keeps the caller's order of events.
    try {
        std::thread([this, &userInfo] { attend(*userInfo); }).join();
    } catch (const std::system_error&) {
        attend(*userInfo);
    }
}

void Attendance::attend(const UserInfo& userInfo) {
    const auto employee = userInfo.find("keepUser");
    if (employee == userInfo.end())
        return;
    m_store->setObjectForKey(employee->second, "keepUser");
    startWork();
}

void Attendance::startWork() {
    setRecordno({});
    const auto now = m_clock();
    if (!m_reachability->isReachable())
        return queueAlert(offlineMessage);
    addStartRecord(ZUMFunc::datetime(now), now);
}

void Attendance::addStartRecord(const std::string& startTime, std::chrono::system_clock::time_point startedAt) {
    Json body = Json::object();
    const auto employee = m_store->stringForKey("keepUser");
    const auto connection = Connection::fromStore(*m_store);
    if (!employee || !connection || !putField(*m_store, body, "fieldIn", startTime) ||
        !putField(*m_store, body, "fieldUser", *employee))
        return queueAlert(incompleteMessage);
    beginSending();
    m_kintone.addRecord(
        *connection, body,
        [self = shared_from_this(), startedAt](const Json& response) {
            self->startRecordAdded(response, startedAt);
            self->endSending();
        },
        [self = shared_from_this()] { self->endSending(); });
}

void Attendance::startRecordAdded(const Json& response, std::chrono::system_clock::time_point startedAt) {
    const auto id = response.find("id");
    if (id == response.end() || !id->is_string())
        return queueAlert(ErrorTexts::unexpectedAnswer());

    // The pending work ends are read before the new working day opens: from then on the user may end the new day,
    // and that work end is not one of an earlier day to send here.
    const std::vector<PendingWorkEnd> pending = PendingWorkEnds::read(*m_store);

    setRecordno(id->get<std::string>(), startedAt);
    queueAlert(sentMessage);

    // Oldest first, each once, whatever becomes of the others. One without its end time cannot be sent; it stays for
    // a person to look at.
    for (const PendingWorkEnd& end : pending)
        if (end.endTime)
            endWork(false, end.recordId, end.endTime);
}

void Attendance::endWork(bool interactive, const std::optional<std::string>& recordId,
                         const std::optional<std::string>& endTime) {
    auto context = std::make_shared<EndContext>();
    context->fromRecordno = !recordId;
    context->recordId = recordId ? *recordId : recordno();
    context->endTime = endTime ? *endTime : ZUMFunc::datetime(m_clock());
    context->interactive = interactive;

    // Off duty there is nothing to end, and a pending work end of an earlier day must not be overwritten.
    if (context->fromRecordno && context->recordId.empty())
        return;

    keepPendingWorkEnd(*context);
    if (!m_reachability->isReachable())
        return;

    beginSending();
    updateEndRecord(context->recordId, context->endTime, context);
    context->done.acquire();
    endSending();
}

void Attendance::updateEndRecord(const std::string& recordId, const std::string& endTime,
                                 const std::shared_ptr<EndContext>& context) {
    if (recordId.empty()) {
        dropPendingWorkEnd(*context);
        context->done.release();
        return;
    }
    Json body = Json::object();
    const auto connection = Connection::fromStore(*m_store);
    if (!connection || !putField(*m_store, body, "fieldOut", endTime)) {
        // Automatic work ends keep what they could not send, for a later attempt with complete settings.
        if (context->interactive)
            dropPendingWorkEnd(*context);
        context->done.release();
        if (context->interactive)
            queueAlert(incompleteMessage);
        return;
    }
    m_kintone.updateRecord(
        *connection, recordId, body,
        [self = shared_from_this(), context](const Json& response) { self->endRecordUpdated(response, *context); },
        [self = shared_from_this(), context](Kintone::FailureCause cause) { self->endRecordFailed(*context, cause); });
}

void Attendance::endRecordUpdated(const Json&, EndContext& context) {
    if (context.fromRecordno)
        clearRecordnoIf(context.recordId);
    dropPendingWorkEnd(context);
    context.done.release();
    if (context.interactive)
        queueAlert(sentMessage);
}

void Attendance::endRecordFailed(EndContext& context, Kintone::FailureCause cause) {
    // kintone never took the automatic work end (the computer may be going to sleep, a gateway or kintone said "not
    // now"): keep it for later. One that kintone refused, or one the user asked for and was told about, is dropped.
    const bool neverApplied = cause != Kintone::FailureCause::Refused;
    if (context.interactive || !neverApplied)
        dropPendingWorkEnd(context);
    context.done.release();
}

// Kept until kintone has taken it: a newer end of the same record replaces the older one, any other is added last.
void Attendance::keepPendingWorkEnd(const EndContext& context) {
    {
        std::lock_guard lock(m_pendingMutex);
        std::vector<PendingWorkEnd> ends = PendingWorkEnds::read(*m_store);
        const PendingWorkEnd end{context.recordId, context.endTime};
        const auto same = std::find_if(ends.begin(), ends.end(),
                                       [&end](const PendingWorkEnd& kept) { return kept.recordId == end.recordId; });
        if (same == ends.end())
            ends.push_back(end);
        else if (*same != end)
            *same = end;
        else
            return;
        PendingWorkEnds::write(*m_store, ends);
    }
    stateChanged();
}

// Removes this attempt's pending work end, if it is still the one kept: a later attempt may have replaced it.
void Attendance::dropPendingWorkEnd(const EndContext& context) {
    {
        std::lock_guard lock(m_pendingMutex);
        std::vector<PendingWorkEnd> ends = PendingWorkEnds::read(*m_store);
        const auto removed = std::remove(ends.begin(), ends.end(), PendingWorkEnd{context.recordId, context.endTime});
        if (removed == ends.end())
            return;
        ends.erase(removed, ends.end());
        PendingWorkEnds::write(*m_store, ends);
    }
    stateChanged();
}

} // namespace stampo
