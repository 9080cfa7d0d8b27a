#pragma once

#include "KintoneSimulator.h"
#include "kintone/Kintone.h"
#include "support/TestSeams.h"

#include <gtest/gtest.h>

#include <memory>

namespace stampo::test {

// A client talking real HTTPS to a fresh simulator, with a recording alert and a main queue of its own.
class KintoneTest : public ::testing::Test {
protected:
    using Json = Kintone::Json;

    static constexpr const char* authCode = "dXNlcjpwYXNzd29yZA==";
    static constexpr const char* subDomain = "example";

    explicit KintoneTest(kintonesim::SimulatorOptions simulatorOptions = {})
        : sim(std::move(simulatorOptions)) {}

    TransportOptions transportOptions() const {
        TransportOptions options;
        options.caFile = sim.caFile().string();
        options.connectTo = sim.connectTo();
        return options;
    }

    Kintone makeClient(TransportOptions options) const { return Kintone(mainQueue, alert, std::move(options)); }

    // Waits until the request has ended and its alerts (if any) have been shown.
    void settle(const Outcome& outcome, std::size_t alerts) {
        ASSERT_TRUE(outcome.wait()) << "no continuation was called";
        ASSERT_TRUE(alert->waitForCount(alerts)) << "expected " << alerts << " alert(s)";
        // Anything else queued before this marker has run once the marker has.
        auto marker = std::make_shared<Outcome>();
        mainQueue->async([marker] { marker->failure()(); });
        ASSERT_TRUE(marker->wait());
    }

    void addRecord(Kintone& kintone, const Json& record, Outcome& outcome, const std::string& auth = authCode) {
        kintone.addRecord(subDomain, "com", "1", auth, "", "", "", "", record, outcome.success(), outcome.failure());
    }

    kintonesim::KintoneSimulator sim;
    std::shared_ptr<ThreadMainQueue> mainQueue = std::make_shared<ThreadMainQueue>();
    std::shared_ptr<RecordingAlert> alert = std::make_shared<RecordingAlert>();
    Kintone client = makeClient(transportOptions());
};

} // namespace stampo::test
