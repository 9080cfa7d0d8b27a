#include "kintone/ErrorTexts.h"
#include "support/KintoneTest.h"

#include <algorithm>
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

    struct Read {
        Texts sent; // the requests, as "METHOD PATH?QUERY"
        Texts read; // what each item read holds at the pointer
        int connections = 0;
    };

    // Reads everything with `read`, which must succeed.
    Read readAll(const std::function<void(Outcome&)>& read, const char* pointer) {
        sim.clearRequests();
        const int connections = sim.connections();
        Outcome outcome;
        read(outcome);
        settle(outcome, 0);
        // Requests asked for past the end may still be on their way.
        EXPECT_TRUE(workers.waitIdle(deadline));
        EXPECT_EQ(outcome.successes(), 1);
        Read all{{}, {}, sim.connections() - connections};
        for (const auto& r : sim.requests())
            all.sent.push_back(r.method + " " + r.path + "?" + r.query);
        for (const Json& item : outcome.result())
            all.read.push_back(item[Json::json_pointer(pointer)]);
        return all;
    }

    // The offsets of the users pages asked for, sorted; each request must be for a users page of 100.
    std::vector<int> userOffsets() const {
        std::vector<int> offsets;
        for (const auto& r : sim.requests()) {
            const std::string query = r.query.substr(0, r.query.find('&'));
            offsets.push_back(query.starts_with("offset=") ? std::stoi(query.substr(7)) : -1);
            EXPECT_EQ(r.method + " " + r.path + "?" + r.query,
                      "GET /v1/users.json?offset=" + std::to_string(offsets.back()) + "&size=100");
        }
        std::ranges::sort(offsets);
        return offsets;
    }

    // Every page up to the one at `lastOffset` was asked for exactly once, and at most `ahead` pages after it.
    void expectPagesAskedFor(int lastOffset, std::size_t ahead) const {
        const std::vector<int> offsets = userOffsets();
        std::vector<int> needed;
        for (int offset = 0; offset <= lastOffset; offset += 100)
            needed.push_back(offset);
        ASSERT_GE(offsets.size(), needed.size());
        EXPECT_EQ(std::vector(offsets.begin(), offsets.begin() + std::ssize(needed)), needed);
        EXPECT_EQ(std::ranges::adjacent_find(offsets), offsets.end());
        EXPECT_LE(offsets.size(), needed.size() + ahead);
    }

    // The users page at `offset` is answered (with `fault`, or late with its real answer) only once the one at `after`
    // has been.
    void overtake(int offset, int after, Fault fault = {Fault::Kind::Delay, 200, {}}) {
        fault.after = page(after);
        sim.addFault({"GET", usersPath, page(offset), 0, 1, std::move(fault)});
    }
    static std::string page(int offset) { return "offset=" + std::to_string(offset) + "&"; }
    // The last page asked for ahead while the one at `offset` is the next to be taken (once the window has opened).
    static int lastAhead(int offset) { return offset + (int(lookAhead) - 1) * 100; }

    // The codes of the first `count` users the simulator made.
    static Texts userCodes(int count) {
        Texts codes;
        for (int i = 1; i <= count; ++i) {
            char code[16];
            std::snprintf(code, sizeof code, "user%04d", i);
            codes.push_back(code);
        }
        return codes;
    }

    static constexpr std::size_t lookAhead = Kintone::usersLookAhead;
    const int employees =
        sim.addApp(Json::parse(R"({"社員番号":{"type":"NUMBER","code":"社員番号","label":"社員番号"}})"));
};

} // namespace

// Pages are asked for ahead only once one has come back full, and never past a window of usersLookAhead pages: a list
// of one page takes one request on one connection, a longer one at most usersLookAhead connections.
TEST_F(PagingTest, UsersAreReadByOffsetUntilAShortPageWholeAndInOrder) {
    int existing = 0;
    for (const int count : {0, 99, 100, 101, 250, 10000}) {
        SCOPED_TRACE(count);
        sim.addUsers(count - existing);
        existing = count;
        const Read all = readAll([&](Outcome& o) { users(client, o); }, "/code");
        EXPECT_EQ(all.read, userCodes(count));
        expectPagesAskedFor(count / 100 * 100, count < 100 ? 0 : lookAhead);
        if (count < 100)
            EXPECT_EQ(all.connections, 1);
        else
            EXPECT_LE(all.connections, int(lookAhead));
    }
}

// Later pages overtaking earlier ones change nothing: the list is in kintone's order, and no page is asked for past the
// window. Each page held waits for the last one asked for ahead with it, so a read that did not ask ahead would hang.
TEST_F(PagingTest, UsersAnsweredOutOfOrderAreListedInKintonesOrder) {
    sim.addUsers(1000);
    overtake(300, lastAhead(300));
    overtake(700, lastAhead(700));
    const Read all = readAll([&](Outcome& o) { users(client, o); }, "/code");
    EXPECT_EQ(all.read, userCodes(1000));
    expectPagesAskedFor(1000, lookAhead);
}

// The read ends on its first short or failed page in page order, whatever order the answers come in: with one failure
// and its one alert, or with the users up to the end, dropping what comes after it.
TEST_F(PagingTest, UsersEndOnTheFirstShortOrFailedPageInPageOrder) {
    sim.addUsers(1000);
    const Fault first = answer(500, R"({"message":"五ページ目"})"), later = answer(500, R"({"message":"後のページ"})");
    const struct {
        const char* name;
        std::function<void()> faults;
        int lastOffset;    // of the page the read ends on
        const char* alert; // none: success with the users up to the end
    } cases[] = {
        {"a failed page", [&] { sim.addFault(on("GET", usersPath, first, page(500).c_str())); }, 500, "五ページ目"},
        {"a later failure answered first",
         [&] {
             overtake(500, 600, first);
             sim.addFault(on("GET", usersPath, later, page(600).c_str()));
         },
         500, "五ページ目"},
        {"a short page before full ones answered first",
         [&] { overtake(500, lastAhead(500), answer(200, R"({"users":[]})")); }, 500, nullptr},
        {"a failure after the end answered first",
         [&] {
             overtake(1000, 1100);
             sim.addFault(on("GET", usersPath, later, page(1100).c_str()));
         },
         1000, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearFaults();
        sim.clearRequests();
        c.faults();
        const auto alertsBefore = alert->messages().size();
        Outcome outcome;
        users(client, outcome);
        ASSERT_TRUE(outcome.wait() && workers.waitIdle(deadline) && mainQueue->drain());
        Texts alerts = alert->messages();
        alerts.erase(alerts.begin(), alerts.begin() + static_cast<std::ptrdiff_t>(alertsBefore));
        EXPECT_EQ(alerts, c.alert ? Texts{c.alert} : Texts{});
        EXPECT_EQ(outcome.failures(), c.alert ? 1 : 0);
        EXPECT_EQ(outcome.successes(), c.alert ? 0 : 1);
        if (!c.alert) {
            Texts read;
            for (const Json& user : outcome.result())
                read.push_back(user["code"]);
            EXPECT_EQ(read, userCodes(c.lastOffset));
        }
        expectPagesAskedFor(c.lastOffset, lookAhead);
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
        const auto [sent, read, connections] =
            readAll([&](Outcome& o) { records(client, o, std::to_string(employees)); }, "/社員番号/value");
        EXPECT_EQ(connections, 1);
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

// A server that keeps sending full pages cannot run the offset past what an int holds: the read fails instead, and no
// page past it is asked for ahead.
TEST_F(PagingTest, UsersFailRatherThanAskPastTheLargestOffset) {
    Json page = Json::array();
    for (int i = 0; i < 100; ++i)
        page.push_back({{"code", "u" + std::to_string(i)}});
    sim.addFault(on("GET", usersPath, answer(200, Json{{"users", page}}.dump())));
    Outcome outcome;
    client.getUsers(INT_MAX - 150, Kintone::usersPrefix(connection()), 100, authCode, proxy, outcome.failure(), nullptr,
                    outcome.success());
    ASSERT_TRUE(outcome.wait() && workers.waitIdle(deadline) && mainQueue->drain());
    EXPECT_EQ(outcome.failures() - outcome.successes(), 1);
    EXPECT_EQ(alert->messages(), Texts{ErrorTexts::unexpectedAnswer()});
    EXPECT_EQ(userOffsets(), (std::vector{INT_MAX - 150, INT_MAX - 50}));
}
