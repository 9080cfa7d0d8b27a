#include "support/KintoneTest.h"

using namespace stampo;
using namespace stampo::test;

namespace {

using FailureTest = KintoneTest;
using Cause = Kintone::FailureCause;
using Texts = std::vector<std::string>;

// A fault put on every kind of request at once, through the simulator or the client's options.
struct FaultCase {
    std::string name;
    std::optional<kintonesim::Fault> fault;
    std::function<void(TransportOptions&)> adjust;
    std::string alert;
    Cause cause = Cause::Unexpected; // of an update
    bool writesSucceed = false;      // kintone's answer to a write is any object
};

} // namespace

// Every request, whatever goes wrong, ends with exactly one continuation and, when it fails, exactly one alert
// telling what went wrong; a failed update also tells whether kintone answered. Failing proxies are among the cases
// of the proxy test.
TEST_F(FailureTest, EveryRequestEndsEveryFaultWithOneAlertAndOneContinuation) {
    sim.addUsers(100); // a full first page: the users fail on their second
    kintonesim::KintoneSimulator foreign(
        {.certificateNames = {"*.example.org"}, .certificateDirectory = {}, .sampleData = false});

    const struct {
        const char *name, *method, *path, *query;
        std::function<void(const Kintone&, Outcome&)> send;
    } kinds[] = {
        {"add record", "POST", recordPath, "",
         [&](auto& k, auto& o) { k.addRecord(connection(), Json::object(), o.success(), o.failure()); }},
        {"update record", "PUT", recordPath, "",
         [&](auto& k, auto& o) {
             k.updateRecord(connection(), "1", Json::object(), o.success(), o.failureWithCause());
         }},
        {"form fields", "GET", fieldsPath, "",
         [&](auto& k, auto& o) { k.getFormFields(connection(), o.success(), o.failure()); }},
        {"users page", "GET", usersPath, "offset=100", [&](auto& k, auto& o) { users(k, o); }},
        {"cursor create", "POST", cursorPath, "", [&](auto& k, auto& o) { records(k, o); }},
        {"cursor read", "GET", cursorPath, "", [&](auto& k, auto& o) { records(k, o); }},
    };

    const std::string unreadable = "kintoneからの応答を読み取れませんでした (HTTP 200)",
                      malformed = "kintoneからの応答の形式が正しくありません",
                      untrusted = "サーバーとの安全な接続を確立できませんでした (60)",
                      huge = "[\"" + std::string(10u << 20, 'x') + "\"]";
    std::vector<FaultCase> faults = {
        {"connection refused", std::nullopt, [](auto& o) { o.connectTo = "127.0.0.1:1"; },
         "サーバーに接続できませんでした (7)", Cause::NoAnswer},
        {"connection cut before the answer", fault(Fault::Kind::Cut), nullptr,
         "サーバーとの通信が途中で切断されました (52)", Cause::NoAnswer},
        {"connection cut mid-body", fault(Fault::Kind::Drop), nullptr, "サーバーとの通信が途中で切断されました (18)",
         Cause::NoAnswer},
        {"no answer within the idle time-out", fault(Fault::Kind::Hang),
         [](auto& o) { o.idleTimeout = std::chrono::seconds(1); }, "サーバーからの応答がタイムアウトしました (28)",
         Cause::NoAnswer},
        {"HTML from a proxy", answer(502, "<html><body>Bad Gateway</body></html>", "text/html"), nullptr,
         "kintoneからの応答を読み取れませんでした (HTTP 502)", Cause::Unavailable},
        {"not JSON", answer(200, "id=1&revision=2"), nullptr, unreadable},
        {"JSON that is not an object", answer(200, "[1,2]"), nullptr, malformed},
        // Wrong for every read: no properties, users not a list, a cursor id that would change the address, a cursor
        // that promises more but sends nothing.
        {"an object without what a read needs",
         answer(200, R"({"id":"a&id=b","users":{},"records":[],"next":true,"revision":"1"})"), nullptr, malformed,
         Cause::Unexpected, true},
        {"10 MB over an answer limit of 1 MB", answer(200, huge), [](auto& o) { o.maxAnswerBytes = 1u << 20; },
         "kintoneからの応答が大きすぎます (23)", Cause::NoAnswer},
        {"certificate for another host", std::nullopt,
         [&](auto& o) { std::tie(o.caFile, o.connectTo) = std::pair(foreign.caFile().string(), foreign.connectTo()); },
         untrusted, Cause::NoAnswer},
        {"certificate from an unknown CA", std::nullopt, [](auto& o) { o.caFile.clear(); }, untrusted, Cause::NoAnswer},
        {"no thread can be started", std::nullopt, [](auto& o) { o.startThread = [](auto) { return false; }; },
         "通信を開始できませんでした", Cause::NotSent},
    };
    // Only kintone's own error object with a 4xx status is a refusal; 429 and every 5xx say "not now"; any other
    // answer is not kintone's (an API gateway's {"message"}, a page of a proxy or a portal). Without a text message:
    // a body that would do for a 200, a message that is no text, an empty one.
    const char* const noText[] = {R"({"id":"9","revision":"1"})", R"({"code":"CB_VA01","message":42})",
                                  R"({"code":"CB_VA01","message":""})"};
    for (const int status : {201, 302, 400, 401, 404, 429, 500, 502, 503, 504, 520}) {
        const std::string code = std::to_string(status), message = "エラー" + code + "が発生しました。";
        const bool notNow = status == 429 || status >= 500, clientError = status >= 400 && status < 500 && !notNow;
        const Cause unlessNotNow = notNow ? Cause::Unavailable : Cause::Unexpected;
        faults.push_back({"status " + code + " from kintone",
                          answer(status, R"({"code":"GAIA_IL23","id":"x1","message":")" + message + "\"}"), nullptr,
                          message, clientError ? Cause::Refused : unlessNotNow});
        faults.push_back({"status " + code + " from a gateway", answer(status, R"({"message":")" + message + "\"}"),
                          nullptr, message, unlessNotNow});
        const std::size_t body = status % std::size(noText);
        faults.push_back({"status " + code + " without a message", answer(status, noText[body]), nullptr,
                          "kintoneがエラーを返しました (HTTP " + code + ")",
                          clientError && body == 2 ? Cause::Refused : unlessNotNow});
    }
    faults.push_back({"a portal's page", answer(403, "<html>ログインして下さい</html>", "text/html"), nullptr,
                      "kintoneからの応答を読み取れませんでした (HTTP 403)", Cause::Unexpected});

    // The kinds are independent, so each fault is tried on all of them at once.
    for (const auto& f : faults) {
        SCOPED_TRACE(f.name);
        sim.clearFaults();
        sim.clearRequests();
        auto options = transportOptions();
        if (f.adjust)
            f.adjust(options);
        std::array<Outcome, std::size(kinds)> outcomes;
        std::array<std::shared_ptr<RecordingAlert>, std::size(kinds)> alerts;
        for (std::size_t i = 0; i < std::size(kinds); ++i) {
            if (f.fault)
                sim.addFault(on(kinds[i].method, kinds[i].path, *f.fault, kinds[i].query));
            kinds[i].send(Kintone(mainQueue, alerts[i] = std::make_shared<RecordingAlert>(), options), outcomes[i]);
        }
        ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
        sim.releaseHangs();
        for (std::size_t i = 0; i < std::size(kinds); ++i) {
            SCOPED_TRACE(kinds[i].name);
            const bool update = kinds[i].method == std::string("PUT"),
                       succeeds = f.writesSucceed && kinds[i].path == std::string(recordPath);
            EXPECT_EQ(outcomes[i].successes(), int(succeeds));
            EXPECT_EQ(outcomes[i].failures(), int(!succeeds));
            EXPECT_EQ(alerts[i]->messages(), succeeds ? Texts{} : Texts{f.alert});
            EXPECT_EQ(outcomes[i].cause(), update && !succeeds ? std::optional(f.cause) : std::nullopt);
        }
        EXPECT_TRUE(f.fault || sim.requests().empty()) << "a request went out on a connection that failed";
        for (const auto& r : sim.requests("GET", cursorPath))
            EXPECT_EQ(r.query.find('&'), std::string::npos) << "a cursor id changed the address: " << r.query;
    }
    EXPECT_TRUE(foreign.requests().empty()) << "the auth code reached another host";
}

// Only answers nested as shallowly as kintone's are taken: copying a deeper one would overflow the stack. Brackets
// inside strings do not count, however their quotes are escaped.
TEST(KintoneParseAnswer, RefusesWhatIsNotJsonOrNestsTooDeep) {
    const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    const std::string brackets(100, '[');
    const std::pair<std::string, bool> cases[] = {
        {nested(64), true},
        {nested(65), false},
        {R"({"a":)" + nested(63) + "}", true},
        {R"({"a":)" + nested(64) + "}", false},
        {R"({"message":")" + brackets + R"(\")" + brackets + R"("})", true},
        {R"({"m":"\\","a":)" + nested(64) + "}", false},
        {"", false},
        {R"({"a":)", false},
    };
    for (const auto& [text, taken] : cases)
        EXPECT_EQ(KintoneAnswer::parse(text).has_value(), taken) << text.substr(0, 60);
}
