#pragma once

#include "RecordedRequest.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kintonesim {

// What the simulator does instead of (or before) answering a matching request.
struct Fault {
    enum class Kind {
        Answer, // answer with `status`, `body` and `contentType` instead of the real answer
        Delay,  // answer normally, but no sooner than `delay` after the request arrived (it takes effect at once)
        Hang,   // never answer until releaseHangs() or the simulator stops, then close the connection
        Cut,    // close the connection at once without answering; the request takes no effect
        Drop,   // send the status line and headers announcing a longer body, part of the body, then close
                // (the request itself takes effect, as when a real answer is lost on the way)
    };
    Kind kind = Kind::Answer;
    int status = 500;
    std::string body{};
    std::string contentType = "application/json";
    std::chrono::milliseconds delay{0};
    // Whatever the kind, the request first waits until one whose query contains this has been handled (since the
    // requests were last cleared), so that that answer overtakes its own; with Delay and no delay: the real answer,
    // late. Empty: no wait.
    std::string after{};
};

struct FaultRule {
    std::string method;        // empty: any method
    std::string path;          // exact path, e.g. "/k/v1/record.json"; empty: any path
    std::string queryContains; // empty: any query
    int skip = 0;              // let this many matching requests through first
    int times = -1;            // then apply to this many (-1: every one after)
    Fault fault;
};

// The faults a test has asked for, each with the count of requests it has matched so far. Not locked: requests
// must be matched in the order they were recorded, so its owner matches them under the lock it records them with.
class FaultPlan final {
public:
    void add(FaultRule rule);
    void clear();
    // The fault of the first rule that fits this request and whose turn it is; every fitting rule up to that one
    // counts the request.
    std::optional<Fault> match(const RecordedRequest& request);

private:
    struct ActiveRule {
        FaultRule rule;
        int matched = 0;
    };
    std::vector<ActiveRule> m_rules;
};

} // namespace kintonesim
