#include "kintone/UserPages.h"

#include "kintone/ErrorTexts.h"
#include "kintone/Session.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace stampo {

UserPages::UserPages(Reader reader, std::shared_ptr<Json> users, KintoneAnswer::Success success, Reject reject)
    : m_reader(std::move(reader))
    , m_users(std::move(users))
    , m_success(std::move(success))
    , m_reject(std::move(reject)) {}

void UserPages::start() {
    std::vector<Request> first;
    {
        std::lock_guard lock(m_mutex);
        first = askAhead();
    }
    send(std::move(first));
}

void UserPages::send(std::vector<Request> requests) {
    for (Request& request : requests) {
        const bool started = m_reader.fetch(*request.lane, static_cast<int>(offsetOf(request.page)),
                                            [self = shared_from_this(), lane = request.lane, page = request.page](
                                                Page answer) { self->take(page, lane, std::move(answer)); });
        if (!started)
            take(request.page, std::move(request.lane),
                 {.problem = ErrorTexts::cannotStart(), .cause = KintoneAnswer::FailureCause::NotSent});
    }
}

void UserPages::take(std::int64_t page, std::shared_ptr<Session> lane, Page answer) {
    Outcome outcome = Outcome::Open;
    Page failure;
    std::vector<Request> next;
    {
        std::lock_guard lock(m_mutex);
        m_idle.push_back(std::move(lane));
        // An answer that comes after the end waits for good: the page it would follow has been taken.
        m_waiting.emplace(page, std::move(answer));
        outcome = takeInOrder(failure);
        if (outcome == Outcome::Open)
            next = askAhead();
    }
    if (outcome == Outcome::Read && m_success)
        m_success(*m_users);
    else if (outcome == Outcome::Failed)
        m_reject(failure.problem, failure.cause);
    send(std::move(next));
}

UserPages::Outcome UserPages::takeInOrder(Page& failure) {
    for (auto found = m_waiting.find(m_next); found != m_waiting.end(); found = m_waiting.find(m_next)) {
        Page page = std::move(found->second);
        m_waiting.erase(found);
        if (!page.users) {
            failure = std::move(page);
            return Outcome::Failed;
        }
        const bool full = isFull(page);
        for (Json& user : *page.users)
            m_users->push_back(std::move(user));
        if (!full)
            return Outcome::Read;
        // A server that keeps sending full pages cannot run the offset past what an int holds.
        if (offsetOf(++m_next) > INT_MAX) {
            failure = {.problem = ErrorTexts::unexpectedAnswer(), .cause = KintoneAnswer::FailureCause::Unexpected};
            return Outcome::Failed;
        }
    }
    return Outcome::Open;
}

std::vector<UserPages::Request> UserPages::askAhead() {
    // Each full page taken widens the window by one, so that a short list does not open connections it never uses.
    const std::int64_t window = std::min<std::int64_t>(m_reader.lookAhead, m_next + 1);
    std::vector<Request> requests;
    while (m_asked < m_next + window && offsetOf(m_asked) <= INT_MAX) {
        std::shared_ptr<Session> lane;
        if (m_idle.empty()) {
            lane = m_reader.newLane();
        } else {
            lane = std::move(m_idle.back());
            m_idle.pop_back();
        }
        requests.push_back({std::move(lane), m_asked++});
    }
    return requests;
}

std::int64_t UserPages::offsetOf(std::int64_t page) const {
    return m_reader.offset + page * m_reader.pageSize;
}

bool UserPages::isFull(const Page& page) const {
    return page.users && m_reader.pageSize > 0 && page.users->size() == static_cast<std::size_t>(m_reader.pageSize);
}

} // namespace stampo
