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
