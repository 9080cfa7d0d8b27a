#include "attendance/Attendance.h"

#include "Alert.h"
#include "MainQueue.h"
#include "SettingsStore.h"
#include "ZUMFunc.h"
#include "attendance/PendingWorkEnds.h"
#include "kintone/ErrorTexts.h"
#include "net/DesktopProxy.h"
#include "net/Reachability.h"
#include "settings/SettingsKeys.h"

#include <algorithm>
#include <cstdio>
#include <semaphore>

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
constexpr const char* unreadableNotice =
    "stampo: 未送信の勤務終了 (keepWorkEnds) に読み取れない項目があります。送信せずにそのまま残します: ";

// A record body entry: the field stored under `fieldKey`, typed by its type key, holding `text`.
bool putField(const SettingsStore& store, Kintone::Json& body, const std::string& fieldKey, const std::string& text) {
    const auto code = store.stringForKey(fieldKey);
    const auto type = store.stringForKey(SettingsKeys::typeKey(fieldKey));
    if (!code || !type)
        return false;
    body[*code] = Kintone::fieldValue(*type, text);
    return true;
}

} // namespace

Attendance::Attendance(std::shared_ptr<SettingsStore> store, Kintone kintone,
                       std::shared_ptr<const Reachability> reachability, std::shared_ptr<MainQueue> mainQueue,
                       std::shared_ptr<Alert> alert, Clock clock, Notice notice)
    : m_store(std::move(store))
    , m_kintone(std::move(kintone))
    , m_reachability(std::move(reachability))
    , m_mainQueue(std::move(mainQueue))
    , m_alert(std::move(alert))
    , m_clock(std::move(clock))
    , m_notice(std::move(notice)) {}

void Attendance::toStandardError(const std::string& notice) {
    std::fprintf(stderr, "%s\n", notice.c_str());
}

std::string Attendance::recordno() const {
    std::lock_guard lock(m_stateMutex);
    return m_recordno;
}

std::chrono::system_clock::time_point Attendance::startedAt() const {
    std::lock_guard lock(m_stateMutex);
    return m_startedAt;
}

bool Attendance::isSending() const {
    std::lock_guard lock(m_stateMutex);
    return m_sending > 0;
}

bool Attendance::hasPendingWorkEnd() const {
    return !readPending().empty();
}

std::vector<PendingWorkEnd> Attendance::readPending() const {
    std::vector<PendingWorkEnd> ends = PendingWorkEnds::read(*m_store);
    std::string unreadable;
    for (const PendingWorkEnd& end : ends)
        if (end.unreadable)
            unreadable += (unreadable.empty() ? "" : ", ") + *end.unreadable;
    if (!unreadable.empty() && m_notice && !m_toldUnreadable.exchange(true))
        m_notice(unreadableNotice + unreadable);
    return ends;
}

void Attendance::setStateListener(Listener listener) {
    m_listener = std::move(listener);
}

void Attendance::stateChanged() const {
    if (m_listener)
        m_listener();
}

void Attendance::clearRecordno() {
    {
        std::lock_guard lock(m_stateMutex);
        m_recordno.clear();
        m_startedAt = {};
    }
    stateChanged();
}

// A work end only closes the working day it was sent for: a work start may have opened another meanwhile.
void Attendance::clearRecordnoIf(const std::string& value) {
    {
        std::lock_guard lock(m_stateMutex);
        if (m_recordno != value)
            return;
        m_recordno.clear();
    }
    stateChanged();
}

// The request goes first to Stampo's own proxy when one is set, else to the one the desktop gives for kintone's
// address, else to kintone.
bool Attendance::isReachable() const {
    const Connection connection = Connection::fromStoreOrEmpty(*m_store);
    const std::string proxyHost =
        connection.proxy.host.empty()
            ? DesktopProxy::hostFor(Kintone::serviceBase(connection.subDomain, connection.topLevelDomain))
            : connection.proxy.host;
    return m_reachability->isReachable(proxyHost);
}

bool Attendance::isClosing() const {
    std::lock_guard lock(m_stateMutex);
    return isClosingLocked();
}

bool Attendance::isClosingLocked() const {
    return m_sessionOver || m_suspending > 0;
}

void Attendance::beginSending() {
    {
        std::lock_guard lock(m_stateMutex);
        ++m_sending;
    }
    stateChanged();
}

void Attendance::endSending() {
    {
        std::lock_guard lock(m_stateMutex);
        --m_sending;
        m_settled.notify_all();
    }
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

void Attendance::didStampoAttend(const std::optional<UserInfo>& userInfo) {
    if (userInfo)
        inBackground([self = shared_from_this(), userInfo = *userInfo] { self->attend(userInfo); });
}

void Attendance::endWorkInBackground(bool interactive) {
    // On its way from the call on, so that nothing else sends it meanwhile.
    if (const auto end = beginEnd(interactive, std::nullopt, std::nullopt, false))
        inBackground([self = shared_from_this(), end] { self->sendEnd(end); });
}

void Attendance::queueAlert(const std::string& message) const {
    m_mainQueue->async([alert = m_alert, message] { alert->show(message); });
}

void Attendance::attend(const UserInfo& userInfo) {
    const auto employee = userInfo.find(SettingsKeys::keepUser);
    if (employee == userInfo.end())
        return;
    m_store->setObjectForKey(employee->second, SettingsKeys::keepUser);
    startWork();
}

void Attendance::startWork() {
    clearRecordno();
    const auto now = m_clock();
    if (!isReachable())
        return queueAlert(offlineMessage);
    addStartRecord(ZUMFunc::datetime(now), now);
}

void Attendance::addStartRecord(const std::string& startTime, std::chrono::system_clock::time_point startedAt) {
    Json body = Json::object();
    const auto employee = m_store->stringForKey(SettingsKeys::keepUser);
    const auto connection = Connection::fromStore(*m_store);
    if (!employee || !connection || !putField(*m_store, body, SettingsKeys::fieldIn, startTime) ||
        !putField(*m_store, body, SettingsKeys::fieldUser, *employee))
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
    // The id goes into the kept work ends and into every later update: it must be kintone's, a number.
    const auto id = response.find("id");
    if (id == response.end() || !id->is_string() || !PendingWorkEnds::isRecordId(id->get_ref<const std::string&>()))
        return queueAlert(ErrorTexts::unexpectedAnswer());

    // The pending work ends are read before the new working day opens: from then on the user may end the new day,
    // and that work end is not one of an earlier day to send here.
    const std::vector<PendingWorkEnd> pending = readPending();

    bool closing = false;
    {
        std::lock_guard lock(m_stateMutex);
        m_recordno = id->get<std::string>();
        m_startedAt = startedAt;
        closing = isClosingLocked();
    }
    stateChanged();
    queueAlert(sentMessage);

    // The session ended, or the machine went to sleep, while this start was on its way: the day it opened ends at
    // once, before anything else is sent.
    if (closing)
        if (const auto end = beginEnd(false, std::nullopt, std::nullopt, true))
            sendEnd(end);

    // Oldest first, each once, whatever becomes of the others. One without its end time cannot be sent; it stays for
    // a person to look at.
    for (const PendingWorkEnd& end : pending)
        if (end.endTime)
            endWork(false, end.recordId, end.endTime);
}

bool Attendance::endBySelf(Ending ending, std::chrono::steady_clock::time_point deadline) {
    bool endOpenDay = true;
    {
        std::lock_guard lock(m_stateMutex);
        if (ending == Ending::Session)
            endOpenDay = !std::exchange(m_sessionOver, true);
        else
            ++m_suspending;
    }
    if (endOpenDay)
        if (const auto end = beginEnd(false, std::nullopt, std::nullopt, true))
            inBackground([self = shared_from_this(), end] { self->sendEnd(end); });

    std::unique_lock lock(m_stateMutex);
    const bool settled = m_settled.wait_until(lock, deadline, [this] { return m_sending == 0; });
    if (ending == Ending::Suspend)
        --m_suspending;
    return settled;
}

void Attendance::endWork(bool interactive, const std::optional<std::string>& recordId,
                         const std::optional<std::string>& endTime) {
    if (const auto end = beginEnd(interactive, recordId, endTime, false))
        sendEnd(end);
}

std::shared_ptr<Attendance::EndContext> Attendance::beginEnd(bool interactive,
                                                             const std::optional<std::string>& recordId,
                                                             const std::optional<std::string>& endTime,
                                                             bool unlessOnItsWay) {
    auto context = std::make_shared<EndContext>();
    context->fromRecordno = !recordId;
    context->interactive = interactive;
    {
        std::lock_guard lock(m_stateMutex);
        context->recordId = recordId ? *recordId : m_recordno;
        // Off duty there is nothing to end, and a pending work end of an earlier day must not be overwritten.
        if (context->fromRecordno && context->recordId.empty())
            return nullptr;
        if (unlessOnItsWay && m_ending.contains(context->recordId))
            return nullptr;
        m_ending.insert(context->recordId);
        ++m_sending;
    }
    stateChanged();
    context->endTime = endTime ? *endTime : ZUMFunc::datetime(m_clock());
    return context;
}

void Attendance::sendEnd(const std::shared_ptr<EndContext>& context) {
    // A work end without a record has nothing to keep: it is only taken away.
    if (!context->recordId.empty())
        keepPendingWorkEnd(*context);
    if (isReachable()) {
        updateEndRecord(context->recordId, context->endTime, context);
        context->done.acquire();
    }
    {
        std::lock_guard lock(m_stateMutex);
        m_ending.erase(m_ending.find(context->recordId));
        --m_sending;
        m_settled.notify_all();
    }
    stateChanged();
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
    if (!connection || !putField(*m_store, body, SettingsKeys::fieldOut, endTime)) {
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
    // Only kintone's own refusal shows that it has seen the work end and will not take it: anything else (no answer,
    // "not now", a proxy's or a portal's page) is kept for the next work start. One the user asked for was told
    // about and may be asked again, unless the day is ending by itself meanwhile, with nobody left to ask.
    const bool refused = cause == Kintone::FailureCause::Refused;
    if (refused || (context.interactive && !isClosing()))
        dropPendingWorkEnd(context);
    context.done.release();
}

// Kept until kintone has taken it: a newer end of the same record replaces the older one, any other is added last.
void Attendance::keepPendingWorkEnd(const EndContext& context) {
    {
        std::lock_guard lock(m_pendingMutex);
        std::vector<PendingWorkEnd> ends = readPending();
        const PendingWorkEnd end{context.recordId, context.endTime};
        const auto same = std::find_if(ends.begin(), ends.end(), [&end](const PendingWorkEnd& kept) {
            return !kept.unreadable && kept.recordId == end.recordId;
        });
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
        std::vector<PendingWorkEnd> ends = readPending();
        const auto removed = std::remove(ends.begin(), ends.end(), PendingWorkEnd{context.recordId, context.endTime});
        if (removed == ends.end())
            return;
        ends.erase(removed, ends.end());
        PendingWorkEnds::write(*m_store, ends);
    }
    stateChanged();
}

} // namespace stampo
