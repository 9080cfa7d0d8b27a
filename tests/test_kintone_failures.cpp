#include "support/KintoneTest.h"

using namespace stampo;
using namespace stampo::test;

namespace {

using FailureTest = KintoneTest;
using Cause = Kintone::FailureCause;

} // namespace

// Every way a request can go wrong, on any page, ends in exactly one alert and exactly one failure call; a failed
// update also tells whether kintone answered.
TEST_F(FailureTest, EachFailureShowsOneAlertAndFailsOnce) {
    kintonesim::KintoneSimulator foreign({.certificateNames = {"*.example.org"}, .certificateDirectory = {}});
    // Enough users and employees for a second page of each, which must hand nothing on when it fails.
    sim.addUsers(100);
    for (int i = 0; i < 500; ++i)
        sim.addRecord(2, Json::object());
    const std::string html = "<html><body>Bad Gateway</body></html>",
                      untrusted = "サーバーとの安全な接続を確立できませんでした (60)",
                      unreadable = "kintoneからの応答を読み取れませんでした (HTTP ",
                      malformed = "kintoneからの応答の形式が正しくありません";
    enum Call { Add, Update, Fields, Users, Records };
    const std::function<void(const Kintone&, Outcome&)> call[] = {
        [&](auto& k, auto& o) { add(k, o); }, [&](auto& k, auto& o) { update(k, o); },
        [&](auto& k, auto& o) { fields(k, o); }, [&](auto& k, auto& o) { users(k, o); },
        [&](auto& k, auto& o) { records(k, o); }};
    const struct {
        const char* name;
        Call call;
        std::optional<FaultRule> fault;
        std::function<void(TransportOptions&)> adjust;
        std::string message;
        Cause cause = Cause::Refused; // of an update
    } cases[] = {
        {"connection refused", Update, std::nullopt, [](auto& o) { o.connectTo = "127.0.0.1:1"; },
         "サーバーに接続できませんでした (7)", Cause::NoAnswer},
        {"no answer within the idle time-out", Update, on("PUT", recordPath, fault(Fault::Kind::Hang)),
         [](auto& o) { o.idleTimeout = std::chrono::seconds(1); }, "サーバーからの応答がタイムアウトしました (28)",
         Cause::NoAnswer},
        {"connection dropped mid-answer", Update, on("PUT", recordPath, fault(Fault::Kind::Drop)), nullptr,
         "サーバーとの通信が途中で切断されました (18)", Cause::NoAnswer},
        {"certificate for another host", Add, std::nullopt,
         [&](auto& o) { std::tie(o.caFile, o.connectTo) = std::pair(foreign.caFile().string(), foreign.connectTo()); },
         untrusted},
        {"certificate from an unknown CA", Add, std::nullopt, [](auto& o) { o.caFile.clear(); }, untrusted},
        {"HTML from a proxy with 200", Add, on("POST", recordPath, answer(200, html, "text/html")), nullptr,
         unreadable + "200)"},
        {"HTML error page for the second page", Users,
         on("GET", usersPath, answer(502, html, "text/html"), "offset=100"), nullptr, unreadable + "502)"},
        {"status 201 is not success", Add, on("POST", recordPath, answer(201, R"({"id":"9","revision":"1"})")), nullptr,
         "kintoneがエラーを返しました (HTTP 201)"},
        {"kintone's message", Update, on("PUT", recordPath, answer(404, R"({"message":"レコードが見つかりません。"})")),
         nullptr, "レコードが見つかりません。"},
        {"error without a text message", Fields, on("GET", fieldsPath, answer(500, R"({"message":42})")), nullptr,
         "kintoneがエラーを返しました (HTTP 500)"},
        {"answer that is not an object", Add, on("POST", recordPath, answer(200, "[1,2]")), nullptr, malformed},
        {"form fields without properties", Fields, on("GET", fieldsPath, answer(200, R"({"revision":"1"})")), nullptr,
         malformed},
        {"users that are not a list", Users, on("GET", usersPath, answer(200, R"({"users":{}})")), nullptr, malformed},
        {"cursor without an id", Records, on("POST", cursorPath, answer(200, R"({"totalCount":"3"})")), nullptr,
         malformed},
        {"cursor id that would change the address", Records, on("POST", cursorPath, answer(200, R"({"id":"a&id=b"})")),
         nullptr, malformed},
        {"second cursor page without next", Records, on("GET", cursorPath, answer(200, R"({"records":[]})"), "", 1),
         nullptr, malformed},
        {"cursor that promises more but sends nothing", Records,
         on("GET", cursorPath, answer(200, R"({"records":[],"next":true})")), nullptr, malformed},
        {"answer over the size limit", Fields, std::nullopt, [](auto& o) { o.maxAnswerBytes = 64; },
         "kintoneからの応答が大きすぎます (23)"},
    };
    std::size_t alerts = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearFaults();
        if (c.fault)
            sim.addFault(*c.fault);
        auto options = transportOptions();
        if (c.adjust)
            c.adjust(options);
        const auto received = sim.requests().size();
        Outcome outcome;
        call[c.call](makeClient(options), outcome);
        ASSERT_NO_FATAL_FAILURE(settle(outcome, ++alerts));
        EXPECT_EQ(outcome.failures() - outcome.successes(), 1);
        EXPECT_EQ(alert->messages().size(), alerts);
        EXPECT_EQ(alert->messages().back(), c.message);
        EXPECT_EQ(outcome.cause(), c.call == Update ? std::optional(c.cause) : std::nullopt);
        EXPECT_TRUE(c.message != untrusted || sim.requests().size() == received) << "the auth code was sent";
        sim.releaseHangs();
    }
    EXPECT_TRUE(foreign.requests().empty()) << "the auth code reached a server with another host's certificate";
}
