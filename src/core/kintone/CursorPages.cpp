#include "kintone/CursorPages.h"

#include "kintone/ErrorTexts.h"

#include <optional>
#include <utility>

namespace stampo {

namespace {

using Json = KintoneAnswer::Json;

// Reads a cursor page answer without building it: whether it is JSON no deeper than any kintone answer, whether it
// is an object, and the last of its top-level "next" and "records" members (as the built answer would keep them).
class PageScan final {
public:
    bool null() { return value(); }
    bool boolean(bool flag) {
        if (m_depth == 1 && m_member == Member::Next)
            m_next = flag;
        return value();
    }
    bool number_integer(Json::number_integer_t) { return value(); }
    bool number_unsigned(Json::number_unsigned_t) { return value(); }
    bool number_float(Json::number_float_t, const Json::string_t&) { return value(); }
    bool string(Json::string_t&) { return value(); }
    bool binary(Json::binary_t&) { return value(); }
    bool start_object(std::size_t) {
        value();
        m_isObject = m_isObject || m_depth == 0;
        return ++m_depth <= KintoneAnswer::maxDepth;
    }
    bool key(Json::string_t& name) {
        if (m_depth != 1)
            return true;
        m_member = name == "next" ? Member::Next : name == "records" ? Member::Records : Member::Other;
        if (m_member == Member::Next)
            m_next.reset();
        if (m_member == Member::Records)
            m_records.reset();
        return true;
    }
    bool end_object() {
        --m_depth;
        return true;
    }
    bool start_array(std::size_t) {
        value();
        if (m_depth == 1 && m_member == Member::Records)
            m_records = 0;
        return ++m_depth <= KintoneAnswer::maxDepth;
    }
    bool end_array() {
        --m_depth;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

    // Whether the answer says there is a next page; none when it is not a page.
    std::optional<bool> next() const {
        // A cursor that promises more but delivers nothing would never end.
        if (!m_isObject || !m_next || !m_records || (*m_next && *m_records == 0))
            return std::nullopt;
        return m_next;
    }

private:
    enum class Member { Other, Next, Records };

    // Counts the elements of the top-level "records" array.
    bool value() {
        if (m_depth == 2 && m_member == Member::Records && m_records)
            ++*m_records;
        return true;
    }

    int m_depth = 0;
    bool m_isObject = false;
    Member m_member = Member::Other;
    std::optional<bool> m_next;
    std::optional<std::size_t> m_records;
};

} // namespace

CursorPages::CursorPages(std::shared_ptr<Json> records, KintoneAnswer::Success success, Reject reject,
                         TransportOptions::ThreadStarter startThread)
    : m_records(std::move(records))
    , m_success(std::move(success))
    , m_reject(std::move(reject))
    , m_startThread(std::move(startThread)) {}

CursorPages::Next CursorPages::take(std::string body) {
    PageScan scan;
    if (!Json::sax_parse(body.begin(), body.end(), &scan)) {
        fail(ErrorTexts::unreadableAnswer(200), KintoneAnswer::FailureCause::Unexpected);
        return Next::None;
    }
    const std::optional<bool> next = scan.next();
    if (!next) {
        fail(ErrorTexts::unexpectedAnswer(), KintoneAnswer::FailureCause::Unexpected);
        return Next::None;
    }
    std::unique_lock lock(m_mutex);
    if (m_unreadable) {
        lock.unlock();
        fail(ErrorTexts::unreadableAnswer(200), KintoneAnswer::FailureCause::Unexpected);
        return Next::None;
    }
    if (*next) {
        m_waiting.push_back(std::move(body));
        const bool startBuilder = !std::exchange(m_builderRunning, true);
        lock.unlock();
        if (startBuilder && !m_startThread([self = shared_from_this()] { self->buildPages(); })) {
            fail(ErrorTexts::cannotStart(), KintoneAnswer::FailureCause::NotSent);
            return Next::None;
        }
        return Next::Page;
    }
    // The pages the builder has not taken yet are built here rather than waited for.
    while (buildNext(lock))
        continue;
    const bool readable = !m_unreadable;
    lock.unlock();
    if (!readable || !build(body))
        fail(ErrorTexts::unreadableAnswer(200), KintoneAnswer::FailureCause::Unexpected);
    else if (end() && m_success)
        m_success(*m_records);
    return Next::None;
}

void CursorPages::buildPages() {
    std::unique_lock lock(m_mutex);
    while (!m_ended && buildNext(lock))
        continue;
    m_builderRunning = false;
}

bool CursorPages::buildNext(std::unique_lock<std::mutex>& lock) {
    m_built.wait(lock, [this] { return !m_busy; });
    if (m_waiting.empty())
        return false;
    const std::string body = std::move(m_waiting.front());
    m_waiting.pop_front();
    m_busy = true;
    lock.unlock();
    const bool built = build(body);
    lock.lock();
    m_busy = false;
    m_unreadable = m_unreadable || !built;
    m_built.notify_all();
    return true;
}

bool CursorPages::build(const std::string& body) {
    // The scan has checked what this could refuse.
    std::optional<Json> answer = KintoneAnswer::parse(body);
    if (!answer)
        return false;
    for (Json& record : (*answer)["records"])
        m_records->push_back(std::move(record));
    return true;
}

void CursorPages::fail(const std::string& message, KintoneAnswer::FailureCause cause) {
    if (end())
        m_reject(message, cause);
}

bool CursorPages::end() {
    std::lock_guard lock(m_mutex);
    return !std::exchange(m_ended, true);
}

} // namespace stampo
