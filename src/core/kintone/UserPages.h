#pragma once

#include "kintone/KintoneAnswer.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace stampo {

class Session;

// The pages of one users read, asked for ahead of the answers. The first page is asked for alone, so that a list of
// one page costs one request; each full page taken lets one more page be in flight, up to `lookAhead` pages from the
// first one not yet taken. Each request in flight has a lane (a session) of its own, and a lane is kept for the next
// page, so the read opens at most `lookAhead` connections. Answers are taken in page order whatever order they come
// in: the first page that is short or failed ends the read, and what comes after it is dropped.
class UserPages final : public std::enable_shared_from_this<UserPages> {
public:
    using Json = KintoneAnswer::Json;
    // One page's answer: its users, or the failure to report when the read ends on it.
    struct Page {
        std::optional<Json> users{}; // an array
        std::string problem{};
        KintoneAnswer::FailureCause cause = KintoneAnswer::FailureCause::Unexpected;
    };
    using Done = std::function<void(Page page)>;
    // Starts the request for the page at `offset` on `lane`, `done` taking its answer on the lane's thread; false when
    // it could not be started (`done` is then never called).
    using Fetch = std::function<bool(Session& lane, int offset, Done done)>;
    using NewLane = std::function<std::shared_ptr<Session>()>;
    using Reject = KintoneAnswer::Reject;

    struct Reader {
        int offset = 0; // of the first page
        int pageSize = 0;
        int lookAhead = 1;
        Fetch fetch;
        NewLane newLane;
    };

    // `users` (an array) receives every page's users; then `success` gets the whole list. `reject` ends the read on
    // its first failure in page order. Exactly one of the two is called, on a lane's thread.
    UserPages(Reader reader, std::shared_ptr<Json> users, KintoneAnswer::Success success, Reject reject);

    // Asks for the first page.
    void start();

private:
    struct Request {
        std::shared_ptr<Session> lane;
        std::int64_t page;
    };
    enum class Outcome { Open, Read, Failed };

    void send(std::vector<Request> requests);
    // Takes the answer to `page`, which frees `lane`.
    void take(std::int64_t page, std::shared_ptr<Session> lane, Page answer);
    // Takes the waiting answers that are next in page order; `failure` receives the one the read fails with.
    Outcome takeInOrder(Page& failure);
    // The pages to ask for now, each with a lane.
    std::vector<Request> askAhead();
    std::int64_t offsetOf(std::int64_t page) const;
    bool isFull(const Page& page) const;

    const Reader m_reader;
    const std::shared_ptr<Json> m_users;
    const KintoneAnswer::Success m_success;
    const Reject m_reject;

    std::mutex m_mutex;
    std::int64_t m_next = 0;                // the page taken next
    std::int64_t m_asked = 0;               // pages asked for: 0 to m_asked - 1
    std::map<std::int64_t, Page> m_waiting; // answers that came before an earlier page's
    std::vector<std::shared_ptr<Session>> m_idle;
};

} // namespace stampo
