#pragma once

#include "kintone/Kintone.h"
#include "kintone/TransportOptions.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace stampo {

// The pages of one cursor read. A page answer is only checked on the session's thread, which can then ask for the
// next page at once; the page's records are built into the list on a thread of their own meanwhile, in page order.
// So building a page (parsing 500 records) overlaps the next page's round trip instead of adding to it.
class CursorPages final : public std::enable_shared_from_this<CursorPages> {
public:
    using Json = Kintone::Json;
    using Reject = std::function<void(const std::string& message, Kintone::FailureCause cause)>;
    enum class Next { None, Page };

    // `records` receives every page's records; then `success` gets the whole list. `reject` ends the read on the
    // first failure. Exactly one of the two is called.
    CursorPages(std::shared_ptr<Json> records, Kintone::Success success, Reject reject,
                TransportOptions::ThreadStarter startThread);

    // Takes one page answer (a whole status-200 answer) and says whether another page is to be read. A page that
    // cannot be used ends the read.
    Next take(std::string body);
    // Ends the read with `message`, unless it has ended already.
    void fail(const std::string& message, Kintone::FailureCause cause);

private:
    struct Page {
        std::string body;
        bool last;
    };

    void buildPages();
    // True for the one caller that ends the read.
    bool end();

    const std::shared_ptr<Json> m_records;
    const Kintone::Success m_success;
    const Reject m_reject;
    const TransportOptions::ThreadStarter m_startThread;

    std::mutex m_mutex;
    std::deque<Page> m_pages;
    bool m_building = false;
    bool m_ended = false;
};

} // namespace stampo
