#include "kintone/ErrorTexts.h"
#include "support/KintoneTest.h"

#include <cstdio>

using namespace stampo;
using namespace stampo::test;

namespace {

using Texts = std::vector<std::string>;

class PagingTest : public KintoneTest {
protected:
    PagingTest()
        : KintoneTest({.certificateDirectory = {}, .sampleData = false}) {}

    // Reads everything with `read`, which must succeed on one connection. The requests it sent, and what each item
    // read holds at `pointer`.
    std::pair<Texts, Texts> readAll(const std::function<void(Outcome&)>& read, const char* pointer) {
        sim.clearRequests();
        const int connections = sim.connections();
        Outcome outcome;
        read(outcome);
        settle(outcome, 0);
        EXPECT_EQ(outcome.successes(), 1);
        EXPECT_EQ(sim.connections() - connections, 1);
        std::pair<Texts, Texts> sentAndRead;
        for (const auto& r : sim.requests())
            sentAndRead.first.push_back(r.method + " " + r.path + "?" + r.query);
        for (const Json& item : outcome.result())
            sentAndRead.second.push_back(item[Json::json_pointer(pointer)]);
        return sentAndRead;
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
        Texts pages, codes;
        for (int offset = 0; offset <= count; offset += 100)
            pages.push_back("GET /v1/users.json?offset=" + std::to_string(offset) + "&size=100");
        for (int i = 1; i <= count; ++i) {
            char code[16];
            std::snprintf(code, sizeof code, "user%04d", i);
            codes.push_back(code);
        }
        EXPECT_EQ(readAll([&](Outcome& o) { users(client, o); }, "/code"), std::pair(pages, codes));
    }
}

TEST_F(PagingTest, RecordsAreReadThroughOneCursorOnOneSessionWholeAndInOrder) {
    Texts numbers;
    for (const auto& [count, pages] : {std::pair(3, 1), std::pair(1800, 4)}) {
        SCOPED_TRACE(count);
        while (numbers.size() < std::size_t(count)) {
            numbers.push_back(std::to_string(numbers.size() + 1));
            sim.addRecord(employees, Json{{"社員番号", {{"value", numbers.back()}}}});
        }
        const auto [sent, read] =
            readAll([&](Outcome& o) { records(client, o, std::to_string(employees)); }, "/社員番号/value");
        // Every page reads the cursor the first one names.
        ASSERT_GT(sent.size(), 1u);
        EXPECT_TRUE(sent[1].starts_with("GET /k/v1/records/cursor.json?id=") && !sent[1].ends_with("=")) << sent[1];
        Texts expected{"POST /k/v1/records/cursor.json?"};
        expected.insert(expected.end(), pages, sent[1]);
        EXPECT_EQ(sent, expected);
        EXPECT_EQ(Json::parse(sim.requests("POST", cursorPath).at(0).body),
                  (Json{{"app", std::to_string(employees)}, {"query", " order by $id asc"}, {"size", 500}}));
        EXPECT_EQ(read, numbers);
        EXPECT_EQ(sim.openCursors(), 0);
    }
}

// The next page is asked for before a page is built, yet each page is judged as its built form would be: by its own
// top-level members (the last of repeated ones); a cursor that promises more must deliver some. The third page, where
// asked for, is the cursor's real second one. The read ends on the session's thread, the first one it starts.
TEST_F(PagingTest, CursorPagesAreTakenAsTheirParsedFormSays) {
    for (int i = 1; i <= 600; ++i)
        sim.addRecord(employees, Json{{"社員番号", {{"value", std::to_string(i)}}}});
    std::mutex mutex;
    std::vector<std::thread::id> started;
    TransportOptions options = transportOptions();
    options.startThread = [&, start = workers.starter()](std::function<void()> work) {
        return start([&, work = std::move(work)] {
            {
                std::lock_guard lock(mutex);
                started.push_back(std::this_thread::get_id());
            }
            work();
        });
    };
    const Kintone client = makeClient(options);
    const std::string unexpected = ErrorTexts::unexpectedAnswer();
    const std::string unreadable = ErrorTexts::unreadableAnswer(200);
    const std::string deep = std::string(64, '[') + std::string(64, ']');
    const struct {
        std::string secondPage;
        std::size_t read;
        std::string alert;
    } cases[] = {
        {R"({"next":false,"records":[{"next":true},{"records":[]}]})", 502, ""},
        {R"({"next":false,"records":[]})", 500, ""},
        {R"({"records":[{}],"next":true})", 601, ""},
        {R"({"records":[{}],"next":false,"next":true})", 601, ""},
        {R"({"records":[],"next":true})", 0, unexpected},
        {R"({"records":{"a":{}},"next":false})", 0, unexpected},
        {R"({"records":[{}],"next":"false"})", 0, unexpected},
        {R"({"records":[{}],"next":true,"records":5})", 0, unexpected},
        {R"([{"records":[],"next":false}])", 0, unexpected},
        {R"({"records":[)" + deep + R"(],"next":false})", 0, unreadable},
        {R"({"records":[],"next":false} x)", 0, unreadable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.secondPage.substr(0, 60));
        sim.clearFaults();
        sim.addFault({"GET", cursorPath, "", 1, 1, answer(200, c.secondPage)});
        const auto alertsBefore = alert->messages().size();
        Outcome outcome;
        records(client, outcome, std::to_string(employees));
        settle(outcome, alertsBefore + (c.alert.empty() ? 0 : 1));
        ASSERT_TRUE(workers.waitIdle(std::chrono::seconds(10)));
        EXPECT_EQ(outcome.successes() + outcome.failures(), 1);
        EXPECT_EQ(outcome.thread(), std::exchange(started, {}).at(0));
        if (c.alert.empty()) {
            const Json read = outcome.result();
            ASSERT_EQ(read.size(), c.read);
            EXPECT_EQ(read[499]["社員番号"]["value"], "500");
            if (c.read == 601) {
                EXPECT_EQ(read[600]["社員番号"]["value"], "600");
            }
        } else {
            EXPECT_EQ(alert->messages().back(), c.alert);
        }
    }
}
