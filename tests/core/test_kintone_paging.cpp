#include "kintone/ErrorTexts.h"
#include "support/KintoneTest.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>

using namespace stampo;
using namespace stampo::test;

namespace {

using Texts = std::vector<std::string>;

class PagingTest : public KintoneTest {
protected:
    PagingTest()
        : KintoneTest({.certificateDirectory = {}, .sampleData = false}) {}

    // The users page at `offset` is answered (with `fault`, or late with its real answer) only once the one at `after`
    // has been.
    static kintonesim::FaultRule overtake(int offset, int after, Fault fault = {Fault::Kind::Delay, 200, {}}) {
        fault.after = page(after);
        return {"GET", usersPath, page(offset), 0, 1, std::move(fault)};
    }
    static kintonesim::FaultRule failing(int offset, const char* message) {
        return on("GET", usersPath, answer(500, R"({"message":")" + std::string(message) + "\"}"),
                  page(offset).c_str());
    }
    static std::string page(int offset) { return "offset=" + std::to_string(offset) + "&"; }
    // The last page asked for ahead while the one at `offset` is the next to be taken (once the window has opened).
    static int lastAhead(int offset) { return offset + (Kintone::usersLookAhead - 1) * 100; }
};

} // namespace

// Pages are asked for ahead only once one has come back full, and never past a window of usersLookAhead pages, each on
// a connection of its own: a list of one page takes one request. Whatever order the answers come in, the users are
// listed in kintone's order, and the read ends on the first short or failed page in page order: with its one alert,
// or with the users up to it, dropping what comes after. Each page held waits for the last one asked for ahead with
// it, so a read that did not ask ahead would hang. A server that keeps sending full pages cannot run the offset past
// what an int holds: the read fails instead, and no page past it is asked for.
TEST_F(PagingTest, UsersAreReadByOffsetUntilTheFirstShortOrFailedPageInPageOrder) {
    const char* const first = "五ページ目";
    const std::string unexpected = ErrorTexts::unexpectedAnswer();
    const auto fullPages = on("GET", usersPath, answer(200, Json{{"users", Json(100, Json::object())}}.dump()));
    const struct {
        const char* name;
        int users;
        int read;          // the users read, the last of them on the page the read ends on
        const char* alert; // of a read that fails on the page at `read`
        std::vector<kintonesim::FaultRule> faults;
        int from = 0; // the offset read from
    } cases[] = {
        {"none", 0, 0, nullptr, {}},
        {"99", 99, 99, nullptr, {}},
        {"100", 100, 100, nullptr, {}},
        {"101", 101, 101, nullptr, {}},
        {"250", 250, 250, nullptr, {}},
        {"out of order", 1000, 1000, nullptr, {overtake(300, lastAhead(300)), overtake(700, lastAhead(700))}},
        {"a failed page", 1000, 500, first, {failing(500, first)}},
        {"later fails first", 1000, 500, first, {overtake(500, 600, failing(500, first).fault), failing(600, "後")}},
        {"a short page first", 1000, 500, nullptr, {overtake(500, lastAhead(500), answer(200, R"({"users":[]})"))}},
        {"a failure after the end first", 1000, 1000, nullptr, {overtake(1000, 1100), failing(1100, "後")}},
        {"10000", 10000, 10000, nullptr, {}},
        {"full pages up to the largest offset", 10000, 100, unexpected.c_str(), {fullPages}, INT_MAX - 150},
    };
    int existing = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.addUsers(c.users - std::exchange(existing, c.users));
        sim.clearFaults();
        sim.clearRequests();
        for (const auto& rule : c.faults)
            sim.addFault(rule);
        const int connections = sim.connections();
        const auto shown = std::make_shared<RecordingAlert>();
        Outcome outcome;
        users(Kintone(mainQueue, shown, transportOptions()), outcome, c.from);
        // Pages asked for past the end may still be on their way when the read ends.
        ASSERT_TRUE(outcome.wait() && workers.waitIdle(deadline) && mainQueue->drain());
        EXPECT_EQ(shown->messages(), c.alert ? Texts{c.alert} : Texts{});
        EXPECT_EQ(std::pair(outcome.successes(), outcome.failures()), std::pair(c.alert ? 0 : 1, c.alert ? 1 : 0));
        Texts read, expected;
        for (const Json& user : outcome.result())
            read.push_back(user["id"]);
        for (int id = 1; !c.alert && id <= c.read; ++id)
            expected.push_back(std::to_string(id));
        EXPECT_EQ(read, expected);
        // Pages from the first on, each once, each a users page of 100: every one up to the last, and at most
        // usersLookAhead after it.
        std::vector<int> asked, pages;
        for (const auto& r : sim.requests()) {
            std::sscanf(r.query.c_str(), "offset=%d", &asked.emplace_back(-1));
            EXPECT_EQ(r.method + " " + r.path + "?" + r.query,
                      "GET /v1/users.json?offset=" + std::to_string(asked.back()) + "&size=100");
        }
        std::ranges::sort(asked);
        while (pages.size() < asked.size())
            pages.push_back(int(std::size_t(c.from) + pages.size() * 100));
        EXPECT_EQ(asked, pages);
        const int needed = c.read / 100 + 1, ahead = c.read < 100 ? 0 : Kintone::usersLookAhead;
        EXPECT_TRUE(int(asked.size()) >= needed && int(asked.size()) <= needed + ahead) << asked.size();
        EXPECT_LE(sim.connections() - connections, std::max(ahead, 1));
    }
}

// The records are read whole and in order through one cursor on one connection: the cursor made once, each page read
// by the id it names. The next page is asked for before a page is built, yet each page is judged as its built form
// would be: by its own top-level members (the last of repeated ones); a cursor that promises more must deliver some.
// The third page, where asked for, is the cursor's real second one. The read ends on the session's thread, the first
// one it starts.
TEST_F(PagingTest, RecordsAreReadThroughOneCursorEachPageTakenAsItsParsedFormSays) {
    const int employees =
        sim.addApp(Json::parse(R"({"社員番号":{"type":"NUMBER","code":"社員番号","label":"社員番号"}})"));
    const std::size_t total = 1800;
    Texts numbers, read, sent;
    while (numbers.size() < total) {
        numbers.push_back(std::to_string(numbers.size() + 1));
        sim.addRecord(employees, Json{{"社員番号", {{"value", numbers.back()}}}});
    }
    std::atomic<std::thread::id> first; // of the threads started since the last read
    TransportOptions options = transportOptions();
    options.startThread = [&, start = workers.starter()](std::function<void()> work) {
        return start([&, work = std::move(work)] {
            std::thread::id none;
            first.compare_exchange_strong(none, std::this_thread::get_id());
            work();
        });
    };
    const Kintone client(mainQueue, alert, options);
    const auto readAll = [&](std::size_t alerts) {
        sim.clearRequests();
        Outcome outcome;
        records(client, outcome, std::to_string(employees));
        settle(outcome, alerts);
        EXPECT_TRUE(workers.waitIdle(deadline));
        EXPECT_EQ(outcome.successes() + outcome.failures(), 1);
        EXPECT_EQ(outcome.thread(), first.exchange({}));
        EXPECT_EQ(alert->messages().size(), alerts);
        return outcome.result();
    };

    const int connections = sim.connections();
    for (const Json& record : readAll(0))
        read.push_back(record["社員番号"]["value"]);
    EXPECT_EQ(read, numbers);
    EXPECT_EQ(sim.connections() - connections, 1);
    for (const auto& r : sim.requests())
        sent.push_back(r.method + " " + r.path + "?" + r.query);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_TRUE(sent[1].starts_with("GET /k/v1/records/cursor.json?id=") && !sent[1].ends_with("=")) << sent[1];
    EXPECT_EQ(sent, (Texts{"POST /k/v1/records/cursor.json?", sent[1], sent[1], sent[1], sent[1]}));
    EXPECT_EQ(Json::parse(sim.requests("POST", cursorPath).at(0).body),
              (Json{{"app", std::to_string(employees)}, {"query", " order by $id asc"}, {"size", 500}}));

    const std::string unexpected = ErrorTexts::unexpectedAnswer(), unreadable = ErrorTexts::unreadableAnswer(200);
    const struct {
        const char* secondPage;
        std::size_t read;
        std::string alert;
    } cases[] = {
        {R"({"next":false,"records":[{"next":true},{"records":[]}]})", 502, ""},
        {R"({"next":false,"records":[]})", 500, ""},
        {R"({"records":[{}],"next":true})", total + 1, ""},
        {R"({"records":[{}],"next":false,"next":true})", total + 1, ""},
        {R"({"records":[],"next":true})", 0, unexpected},
        {R"({"records":{"a":{}},"next":false})", 0, unexpected},
        {R"({"records":[{}],"next":"false"})", 0, unexpected},
        {R"({"records":[{}],"next":true,"records":5})", 0, unexpected},
        {R"([{"records":[],"next":false}])", 0, unexpected},
        {R"({"records":[],"next":false} x)", 0, unreadable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.secondPage);
        sim.clearFaults();
        sim.addFault({"GET", cursorPath, "", 1, 1, answer(200, c.secondPage)});
        const Json got = readAll(alert->messages().size() + (c.alert.empty() ? 0 : 1));
        if (!c.alert.empty()) {
            EXPECT_EQ(alert->messages().back(), c.alert);
            continue;
        }
        ASSERT_EQ(got.size(), c.read);
        EXPECT_EQ(got[499]["社員番号"]["value"], "500");
        EXPECT_TRUE(c.read <= total || got.back()["社員番号"]["value"] == numbers.back());
    }
}
