#include "support/KintoneTest.h"

#include <atomic>
#include <cstdio>
#include <set>

using namespace stampo;
using namespace stampo::test;
using kintonesim::Fault;
using kintonesim::FaultRule;

namespace {

using Json = Kintone::Json;

class PagingTest : public KintoneTest {
protected:
    PagingTest()
        : KintoneTest(withoutSampleData()) {
        employees = sim.addApp(Json::parse(R"({"社員番号":{"type":"NUMBER","code":"社員番号","label":"社員番号"}})"));
    }

    static kintonesim::SimulatorOptions withoutSampleData() {
        kintonesim::SimulatorOptions options;
        options.sampleData = false;
        return options;
    }

    // A client that counts the worker threads it starts.
    Kintone countingClient() {
        auto options = transportOptions();
        options.startThread = [this](std::function<void()> work) {
            ++threadsStarted;
            return TransportOptions::startDetachedThread(std::move(work));
        };
        return makeClient(options);
    }

    void getUsers(Kintone& kintone, Outcome& outcome) {
        kintone.getUsers(0, Kintone::usersPrefix(subDomain, "com"), 100, authCode, "", "", "", "", outcome.failure(),
                         std::make_shared<Json>(Json::array()), outcome.success());
    }

    void getRecords(Kintone& kintone, Outcome& outcome) {
        kintone.getRecords(subDomain, "com", std::to_string(employees), "", "", authCode, "", "", "", "",
                           outcome.success(), outcome.failure());
    }

    static std::set<int> ports(const std::vector<kintonesim::RecordedRequest>& requests) {
        std::set<int> ports;
        for (const auto& r : requests)
            ports.insert(r.remotePort);
        return ports;
    }

    int employees = 0;
    std::atomic<int> threadsStarted{0};
};

} // namespace

TEST_F(PagingTest, UsersArePagedByOffsetUntilAShortPage) {
    const struct {
        int users;
        std::vector<std::string> queries;
    } cases[] = {
        {0, {"offset=0&size=100"}},
        {100, {"offset=0&size=100", "offset=100&size=100"}},
        {250, {"offset=0&size=100", "offset=100&size=100", "offset=200&size=100"}},
    };
    int existing = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.users);
        sim.addUsers(c.users - existing);
        existing = c.users;
        sim.clearRequests();
        threadsStarted = 0;
        Kintone kintone = countingClient();
        Outcome outcome;
        getUsers(kintone, outcome);
        settle(outcome, 0);
        ASSERT_EQ(outcome.successes(), 1);
        EXPECT_EQ(outcome.failures(), 0);

        std::vector<std::string> queries;
        for (const auto& r : sim.requests()) {
            EXPECT_EQ(r.method, "GET");
            EXPECT_EQ(r.path, "/v1/users.json");
            EXPECT_EQ(r.header("Accept"), "application/json");
            queries.push_back(r.query);
        }
        EXPECT_EQ(queries, c.queries);

        const Json result = *outcome.result();
        ASSERT_EQ(result.size(), static_cast<std::size_t>(c.users));
        for (int i = 0; i < c.users; ++i) {
            char code[16];
            std::snprintf(code, sizeof code, "user%04d", i + 1);
            ASSERT_EQ(result[i]["code"], code) << "users out of order at " << i;
        }
        // Each page completes on a thread of its own, but the chain keeps one connection.
        EXPECT_EQ(threadsStarted, static_cast<int>(c.queries.size()));
        EXPECT_EQ(ports(sim.requests()).size(), 1u);
    }
}

TEST_F(PagingTest, LongUsersChainOpensOneConnection) {
    sim.addUsers(10000);
    Outcome outcome;
    getUsers(client, outcome);
    settle(outcome, 0);
    ASSERT_EQ(outcome.successes(), 1);
    EXPECT_EQ(outcome.result()->size(), 10000u);
    EXPECT_EQ(sim.requests().size(), 101u);
    EXPECT_EQ(sim.connections(), 1);
}

TEST_F(PagingTest, CursorIsReadPageByPageOnOneSession) {
    const struct {
        int records;
        std::size_t pages;
    } cases[] = {{3, 1}, {1800, 4}};
    int existing = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.records);
        for (; existing < c.records; ++existing)
            sim.addRecord(employees, Json{{"社員番号", {{"value", std::to_string(existing + 1)}}}});
        sim.clearRequests();
        threadsStarted = 0;
        Kintone kintone = countingClient();
        Outcome outcome;
        getRecords(kintone, outcome);
        settle(outcome, 0);
        ASSERT_EQ(outcome.successes(), 1);

        const auto pages = sim.requests("GET", "/k/v1/records/cursor.json");
        ASSERT_EQ(pages.size(), c.pages);
        const auto created = sim.requests("POST", "/k/v1/records/cursor.json");
        ASSERT_EQ(created.size(), 1u);
        EXPECT_EQ(pages.front().query.rfind("id=", 0), 0u) << pages.front().query;
        for (const auto& page : pages)
            EXPECT_EQ(page.query, pages.front().query) << "every page reads the same cursor";
        EXPECT_EQ(threadsStarted, 1) << "the cursor's pages must stay on one session thread";
        EXPECT_EQ(ports(sim.requests()).size(), 1u);

        const Json records = *outcome.result();
        ASSERT_EQ(records.size(), static_cast<std::size_t>(c.records));
        for (int i = 0; i < c.records; ++i)
            ASSERT_EQ(records[i]["社員番号"]["value"], std::to_string(i + 1)) << "records out of order at " << i;
        EXPECT_EQ(sim.openCursors(), 0);
    }
}

TEST_F(PagingTest, FailureOnAMiddlePageHandsNothingOn) {
    sim.addUsers(250);
    for (int i = 0; i < 1200; ++i)
        sim.addRecord(employees, Json{{"社員番号", {{"value", std::to_string(i + 1)}}}});

    FaultRule usersFault;
    usersFault.path = "/v1/users.json";
    usersFault.queryContains = "offset=100";
    usersFault.fault = {Fault::Kind::Answer, 500, R"({"code":"CB_IL02","id":"x","message":"内部エラーです。"})"};
    sim.addFault(usersFault);
    FaultRule pageFault;
    pageFault.method = "GET";
    pageFault.path = "/k/v1/records/cursor.json";
    pageFault.skip = 1;
    pageFault.fault = {Fault::Kind::Answer, 520, R"({"code":"CB_XX","id":"y","message":"一時的なエラーです。"})"};
    sim.addFault(pageFault);

    Outcome users;
    getUsers(client, users);
    settle(users, 1);
    Outcome records;
    getRecords(client, records);
    settle(records, 2);

    for (const Outcome* o : {&users, &records}) {
        EXPECT_EQ(o->failures(), 1);
        EXPECT_EQ(o->successes(), 0);
    }
    EXPECT_EQ(alert->messages(), (std::vector<std::string>{"内部エラーです。", "一時的なエラーです。"}));
    EXPECT_EQ(sim.requests("GET", "/v1/users.json").size(), 2u);
    EXPECT_EQ(sim.requests("GET", "/k/v1/records/cursor.json").size(), 2u);
}
