#include "support/KintoneTest.h"

using namespace stampo;
using namespace stampo::test;

namespace {

class PagingTest : public KintoneTest {
protected:
    PagingTest()
        : KintoneTest({.certificateDirectory = {}, .sampleData = false}) {}

    // Reads everything with `read`, which must succeed on one connection with `threads` worker threads; the requests
    // it sent.
    std::vector<std::string> readAll(const std::function<void(Outcome&)>& read, std::size_t threads, Json& result) {
        sim.clearRequests();
        const int connections = sim.connections(), started = workers.started();
        Outcome outcome;
        read(outcome);
        settle(outcome, 0);
        EXPECT_EQ(outcome.successes(), 1);
        EXPECT_EQ(sim.connections() - connections, 1);
        EXPECT_EQ(static_cast<std::size_t>(workers.started() - started), threads);
        result = outcome.result();
        std::vector<std::string> sent;
        for (const auto& r : sim.requests())
            sent.push_back(r.method + " " + r.path + "?" + r.query);
        return sent;
    }

    const int employees =
        sim.addApp(Json::parse(R"({"社員番号":{"type":"NUMBER","code":"社員番号","label":"社員番号"}})"));
};

} // namespace

TEST_F(PagingTest, UsersAreReadByOffsetUntilAShortPageWholeAndInOrder) {
    int existing = 0;
    for (const int count : {0, 100, 250, 10000}) {
        SCOPED_TRACE(count);
        sim.addUsers(count - existing);
        existing = count;
        std::vector<std::string> pages, codes, expected;
        for (int offset = 0; offset <= count; offset += 100)
            pages.push_back("GET /v1/users.json?offset=" + std::to_string(offset) + "&size=100");
        // Each page completes on a thread of its own, but the chain keeps one connection.
        Json result;
        EXPECT_EQ(readAll([&](Outcome& o) { users(client, o); }, pages.size(), result), pages);
        for (const Json& user : result)
            codes.push_back(user["code"]);
        for (int i = 1; i <= count; ++i) {
            const std::string n = std::to_string(i);
            expected.push_back("user" + std::string(n.size() < 4 ? 4 - n.size() : 0, '0') + n);
        }
        EXPECT_EQ(codes, expected);
    }
}

TEST_F(PagingTest, RecordsAreReadThroughOneCursorOnOneSessionWholeAndInOrder) {
    int existing = 0;
    for (const auto& [count, pages] : {std::pair(3, 1), std::pair(1800, 4)}) {
        SCOPED_TRACE(count);
        for (; existing < count; ++existing)
            sim.addRecord(employees, Json{{"社員番号", {{"value", std::to_string(existing + 1)}}}});
        Json result;
        const auto sent = readAll([&](Outcome& o) { records(client, o, std::to_string(employees)); }, 1, result);
        // Every page reads the cursor the first one names.
        ASSERT_GT(sent.size(), 1u);
        EXPECT_TRUE(sent[1].starts_with("GET /k/v1/records/cursor.json?id=") && !sent[1].ends_with("=")) << sent[1];
        std::vector<std::string> expectedSent{"POST /k/v1/records/cursor.json?"}, numbers, expected;
        expectedSent.insert(expectedSent.end(), pages, sent[1]);
        EXPECT_EQ(sent, expectedSent);
        for (const Json& record : result)
            numbers.push_back(record["社員番号"]["value"]);
        for (int i = 1; i <= count; ++i)
            expected.push_back(std::to_string(i));
        EXPECT_EQ(numbers, expected);
        EXPECT_EQ(sim.openCursors(), 0);
    }
}

TEST_F(PagingTest, FailureOnAMiddlePageHandsNothingOn) {
    sim.addUsers(250);
    for (int i = 0; i < 1200; ++i)
        sim.addRecord(employees, Json{{"社員番号", {{"value", std::to_string(i + 1)}}}});
    sim.addFault(on("GET", usersPath, answer(500, R"({"message":"内部エラーです。"})"), "offset=100"));
    sim.addFault(on("GET", cursorPath, answer(520, R"({"message":"一時的なエラーです。"})"), "", 1));

    Outcome readUsers, readRecords;
    users(client, readUsers);
    settle(readUsers, 1);
    records(client, readRecords, std::to_string(employees));
    settle(readRecords, 2);
    EXPECT_EQ(readUsers.failures() + readRecords.failures(), 2);
    EXPECT_EQ(readUsers.successes() + readRecords.successes(), 0);
    EXPECT_EQ(alert->messages(), (std::vector<std::string>{"内部エラーです。", "一時的なエラーです。"}));
    EXPECT_EQ(sim.requests("GET", usersPath).size(), 2u);
    EXPECT_EQ(sim.requests("GET", cursorPath).size(), 2u);
}
