#pragma once

#include "KintoneSimulator.h"
#include "kintone/Kintone.h"
#include "kintone/WorkerThreads.h"
#include "support/TestSeams.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace stampo::test {

// A client talking real HTTPS to a fresh simulator, with a recording alert and a main queue of its own.
class KintoneTest : public ::testing::Test {
protected:
    using Json = Kintone::Json;

    static constexpr const char *authCode = "dXNlcjpwYXNzd29yZA==", *subDomain = "example";
    static constexpr const char *recordPath = "/k/v1/record.json", *fieldsPath = "/k/v1/app/form/fields.json";
    static constexpr const char *usersPath = "/v1/users.json", *cursorPath = "/k/v1/records/cursor.json";
    using Fault = kintonesim::Fault;

    // A fault on the requests of that method (empty: any) and path, with `query` in their query.
    static kintonesim::FaultRule on(const char* method, const char* path, Fault fault, const char* query = "") {
        return {method, path, query, 0, -1, std::move(fault)};
    }
    static Fault fault(Fault::Kind kind) { return {kind, 500, {}}; }
    static Fault answer(int status, std::string body, std::string contentType = "application/json") {
        return {Fault::Kind::Answer, status, std::move(body), std::move(contentType)};
    }

    // Requests follow the environment's proxy when none is configured: the machine's must not catch the simulator's.
    explicit KintoneTest(kintonesim::SimulatorOptions simulatorOptions = {})
        : sim(std::move(simulatorOptions)) {
        for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "no_proxy"})
            unsetenv(name);
    }

    // Trusts the simulator, connects to it, and starts counted worker threads.
    TransportOptions transportOptions() const {
        return {.caFile = sim.caFile().string(), .connectTo = sim.connectTo(), .startThread = workers.starter()};
    }

    // Waits until the request has ended and its alerts (if any) have been shown.
    void settle(const Outcome& outcome, std::size_t alerts) {
        ASSERT_TRUE(outcome.wait() && alert->waitForCount(alerts) && mainQueue->drain());
    }

    // The operations with the simulator's sample apps (attendance app 1, employee app 2), through `proxy`.
    Connection connection(const std::string& app = "1", const std::string& region = "com") const {
        return {subDomain, region, app, authCode, proxy};
    }
    void users(const Kintone& k, Outcome& o, int offset = 0) {
        k.getUsers(offset, Kintone::usersPrefix(connection()), 100, authCode, proxy, o.failure(), nullptr, o.success());
    }
    void records(const Kintone& k, Outcome& o, const std::string& app = "2") {
        k.getRecords(connection(app), "", "", o.success(), o.failure());
    }

    ProxySettings proxy;
    kintonesim::KintoneSimulator sim;
    WorkerThreads workers;
    std::shared_ptr<ThreadMainQueue> mainQueue = std::make_shared<ThreadMainQueue>();
    std::shared_ptr<RecordingAlert> alert = std::make_shared<RecordingAlert>();
    Kintone client{mainQueue, alert, transportOptions()};
};

} // namespace stampo::test
