#pragma once

#include "FaultPlan.h"
#include "RecordedRequest.h"
#include "Router.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kintonesim {

// Takes each request the server hands over: records it, meets it with the fault plan, and answers it through the
// router or fails it as the plan says.
class RequestHandler final {
public:
    explicit RequestHandler(Router& router);

    void serve(const httplib::Request& request, httplib::Response& response);
    // Lets every held request go on at once, and holds none from now on: the server can then stop.
    void stop();

    void addFault(FaultRule rule);
    void clearFaults();
    void releaseHangs();

    std::vector<RecordedRequest> requests() const;
    void clearRequests();
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    void answer(const httplib::Request& request, const RecordedRequest& recorded, const std::optional<Fault>& fault,
                std::chrono::steady_clock::time_point arrived, std::unique_lock<std::mutex>& lock,
                httplib::Response& response);

    Router& m_router;
    // Held while a request is recorded, matched and answered (but for the waits its fault asks for), so that whoever
    // sees a request recorded sees its effect too, and the rules count requests in the order they were recorded.
    mutable std::mutex m_mutex;
    // Signalled when a request is recorded or handled, hangs are released or the simulator stops.
    mutable std::condition_variable m_changed;
    bool m_stopping = false;
    std::uint64_t m_hangReleases = 0;
    FaultPlan m_faults;
    std::vector<RecordedRequest> m_requests;
    std::vector<std::string> m_handled; // the queries of the requests handled since they were last cleared
};

} // namespace kintonesim
