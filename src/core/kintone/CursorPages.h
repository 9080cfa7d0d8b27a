#pragma once

#include "kintone/KintoneAnswer.h"
#include "kintone/TransportOptions.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace stampo {

// The pages of one cursor read. A page answer is only checked on the session's thread, which can then ask for the
// next page at once; the page's records are built into the list on a thread of their own meanwhile, in page order.
// So building a page (parsing 500 records) overlaps the next page's round trip instead of adding to it. The last
// page is built on the session's thread, once the earlier ones are, so that the read ends there as any request does.
class CursorPages final : public std::enable_shared_from_this<CursorPages> {
public:
    using Json = KintoneAnswer::Json;
    using Reject = KintoneAnswer::Reject;
    enum class Next { None, Page };

    // `records` receives every page's records; then `success` gets the whole list. `reject` ends the read on the
    // first failure. Exactly one of the two is called, on the thread that calls take() or fail().
    CursorPages(std::shared_ptr<Json> records, KintoneAnswer::Success success, Reject reject,
                TransportOptions::ThreadStarter startThread);

    // Takes one page answer (a whole status-200 answer) on the session's thread and says whether another page is to
    // be read. A page that cannot be used ends the read.
    Next take(std::string body);
    // Ends the read with `message`, unless it has ended already.
    void fail(const std::string& message, KintoneAnswer::FailureCause cause);

private:
    // The builder thread: builds the waiting pages.
    void buildPages();
    // Builds the first waiting page, once no page is being built; false when none waits.
    bool buildNext(std::unique_lock<std::mutex>& lock);
    // Appends the page's records; false when it cannot be read.
    bool build(const std::string& body);
    // True for the one caller that ends the read.
    bool end();

    const std::shared_ptr<Json> m_records;
    const KintoneAnswer::Success m_success;
    const Reject m_reject;
    const TransportOptions::ThreadStarter m_startThread;

    std::mutex m_mutex;
    std::condition_variable m_built;
    std::deque<std::string> m_waiting;
    bool m_builderRunning = false;
    bool m_busy = false;       // a page is being built
    bool m_unreadable = false; // a page could not be built
    bool m_ended = false;
};

} // namespace stampo
