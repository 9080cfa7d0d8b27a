#include "support/KintoneTest.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace stampo;
using namespace stampo::test;
using kintonesim::Fault;
using kintonesim::FaultRule;

namespace {

using Json = Kintone::Json;

// A loopback port with nothing listening on it.
std::string closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return std::to_string(ntohs(address.sin_port));
}

FaultRule answer(const char* method, const char* path, int status, std::string body,
                 std::string contentType = "application/json") {
    FaultRule rule;
    rule.method = method;
    rule.path = path;
    rule.fault.kind = Fault::Kind::Answer;
    rule.fault.status = status;
    rule.fault.body = std::move(body);
    rule.fault.contentType = std::move(contentType);
    return rule;
}

FaultRule fault(const char* path, Fault::Kind kind) {
    FaultRule rule;
    rule.path = path;
    rule.fault.kind = kind;
    return rule;
}

class FailureTest : public KintoneTest {
protected:
    enum class Call { Add, Update, Fields, Users, Records };

    void call(Kintone& kintone, Call call, Outcome& outcome) {
        switch (call) {
        case Call::Add:
            return addRecord(kintone, Json::object(), outcome);
        case Call::Update:
            return kintone.updateRecord(subDomain, "com", "1", authCode, "", "", "", "", "1", Json::object(),
                                        outcome.success(), outcome.failure());
        case Call::Fields:
            return kintone.getFormFields(subDomain, "com", "1", authCode, "", "", "", "", outcome.success(),
                                         outcome.failure());
        case Call::Users:
            return kintone.getUsers(0, Kintone::usersPrefix(subDomain, "com"), 100, authCode, "", "", "", "",
                                    outcome.failure(), std::make_shared<Json>(Json::array()), outcome.success());
        case Call::Records:
            return kintone.getRecords(subDomain, "com", "2", "", "", authCode, "", "", "", "", outcome.success(),
                                      outcome.failure());
        }
    }
};

} // namespace

// Every way a request can go wrong ends in exactly one alert and exactly one failure call.
TEST_F(FailureTest, EachFailureShowsOneAlertAndFailsOnce) {
    constexpr const char* record = "/k/v1/record.json";
    constexpr const char* fields = "/k/v1/app/form/fields.json";
    constexpr const char* users = "/v1/users.json";
    constexpr const char* cursor = "/k/v1/records/cursor.json";
    const std::string html = "<html><body>Bad Gateway</body></html>";

    const struct {
        const char* name;
        Call call;
        std::vector<FaultRule> faults;
        std::function<void(TransportOptions&)> adjust;
        std::string message;
    } cases[] = {
        {"connection refused",
         Call::Add,
         {},
         [](TransportOptions& o) { o.connectTo = "127.0.0.1:" + closedPort(); },
         "サーバーに接続できませんでした (7)"},
        {"no answer within the idle time-out",
         Call::Update,
         {fault(record, Fault::Kind::Hang)},
         [](TransportOptions& o) { o.idleTimeout = std::chrono::seconds(1); },
         "サーバーからの応答がタイムアウトしました (28)"},
        {"connection dropped mid-answer",
         Call::Fields,
         {fault(fields, Fault::Kind::Drop)},
         nullptr,
         "サーバーとの通信が途中で切断されました (18)"},
        {"HTML from a proxy with 200",
         Call::Add,
         {answer("POST", record, 200, html, "text/html")},
         nullptr,
         "kintoneからの応答を読み取れませんでした (HTTP 200)"},
        {"HTML error page",
         Call::Users,
         {answer("GET", users, 502, html, "text/html")},
         nullptr,
         "kintoneからの応答を読み取れませんでした (HTTP 502)"},
        {"empty body",
         Call::Add,
         {answer("POST", record, 200, "")},
         nullptr,
         "kintoneからの応答を読み取れませんでした (HTTP 200)"},
        {"status 201 is not success",
         Call::Add,
         {answer("POST", record, 201, R"({"id":"9","revision":"1"})")},
         nullptr,
         "kintoneがエラーを返しました (HTTP 201)"},
        {"kintone's message",
         Call::Update,
         {answer("PUT", record, 404, R"({"code":"GAIA_RE01","id":"x","message":"レコードが見つかりません。"})")},
         nullptr,
         "レコードが見つかりません。"},
        {"error without a text message",
         Call::Fields,
         {answer("GET", fields, 500, R"({"message":42})")},
         nullptr,
         "kintoneがエラーを返しました (HTTP 500)"},
        {"answer that is not an object",
         Call::Add,
         {answer("POST", record, 200, "[1,2]")},
         nullptr,
         "kintoneからの応答の形式が正しくありません"},
        {"form fields without properties",
         Call::Fields,
         {answer("GET", fields, 200, R"({"revision":"1"})")},
         nullptr,
         "kintoneからの応答の形式が正しくありません"},
        {"users that are not a list",
         Call::Users,
         {answer("GET", users, 200, R"({"users":{}})")},
         nullptr,
         "kintoneからの応答の形式が正しくありません"},
        {"cursor without an id",
         Call::Records,
         {answer("POST", cursor, 200, R"({"totalCount":"3"})")},
         nullptr,
         "kintoneからの応答の形式が正しくありません"},
        {"cursor id that would change the address",
         Call::Records,
         {answer("POST", cursor, 200, R"({"id":"a&id=b","totalCount":"3"})")},
         nullptr,
         "kintoneからの応答の形式が正しくありません"},
        {"cursor page without next",
         Call::Records,
         {answer("GET", cursor, 200, R"({"records":[]})")},
         nullptr,
         "kintoneからの応答の形式が正しくありません"},
        {"cursor that promises more but sends nothing",
         Call::Records,
         {answer("GET", cursor, 200, R"({"records":[],"next":true})")},
         nullptr,
         "kintoneからの応答の形式が正しくありません"},
        {"answer over the size limit",
         Call::Fields,
         {},
         [](TransportOptions& o) { o.maxAnswerBytes = 64; },
         "kintoneからの応答が大きすぎます (23)"},
    };

    std::size_t alerts = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearFaults();
        for (const auto& rule : c.faults)
            sim.addFault(rule);
        auto options = transportOptions();
        if (c.adjust)
            c.adjust(options);
        Kintone kintone = makeClient(options);
        Outcome outcome;
        call(kintone, c.call, outcome);
        settle(outcome, ++alerts);
        EXPECT_EQ(outcome.failures(), 1);
        EXPECT_EQ(outcome.successes(), 0);
        EXPECT_EQ(alert->messages().size(), alerts);
        EXPECT_EQ(alert->messages().back(), c.message);
        sim.releaseHangs();
    }
}

class ForeignCertificateTest : public KintoneTest {
protected:
    ForeignCertificateTest()
        : KintoneTest(options()) {}

    static kintonesim::SimulatorOptions options() {
        kintonesim::SimulatorOptions options;
        options.certificateNames = {"*.example.org"};
        return options;
    }
};

TEST_F(ForeignCertificateTest, CertificateForAnotherHostIsRefused) {
    Outcome outcome;
    addRecord(client, Json::object(), outcome);
    settle(outcome, 1);
    EXPECT_EQ(outcome.failures(), 1);
    EXPECT_EQ(outcome.successes(), 0);
    EXPECT_EQ(alert->messages().at(0), "サーバーとの安全な接続を確立できませんでした (60)");
    EXPECT_TRUE(sim.requests().empty()) << "the auth code reached a server with the wrong certificate";
}

TEST_F(FailureTest, UntrustedCertificateIsRefused) {
    auto options = transportOptions();
    options.caFile.clear(); // the system store does not know the simulator's CA
    Kintone kintone = makeClient(options);
    Outcome outcome;
    call(kintone, Call::Add, outcome);
    settle(outcome, 1);
    EXPECT_EQ(outcome.failures(), 1);
    EXPECT_EQ(alert->messages().at(0), "サーバーとの安全な接続を確立できませんでした (60)");
    EXPECT_TRUE(sim.requests().empty());
}

TEST_F(FailureTest, UpdateTellsWhetherKintoneAnswered) {
    using Cause = Kintone::FailureCause;
    auto refusedOptions = transportOptions();
    refusedOptions.connectTo = "127.0.0.1:" + closedPort();
    const struct {
        const char* name;
        const char* subDomain;
        std::vector<FaultRule> faults;
        TransportOptions options;
        Cause cause;
    } cases[] = {
        {"bad subdomain", "a b", {}, transportOptions(), Cause::NotSent},
        {"connection refused", subDomain, {}, refusedOptions, Cause::NoAnswer},
        {"dropped answer",
         subDomain,
         {fault("/k/v1/record.json", Fault::Kind::Drop)},
         transportOptions(),
         Cause::NoAnswer},
        {"kintone's refusal",
         subDomain,
         {answer("PUT", "/k/v1/record.json", 400, R"({"message":"x"})")},
         transportOptions(),
         Cause::Refused},
        {"unreadable answer",
         subDomain,
         {answer("PUT", "/k/v1/record.json", 200, "<html>")},
         transportOptions(),
         Cause::Refused},
    };
    std::size_t alerts = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearFaults();
        for (const auto& rule : c.faults)
            sim.addFault(rule);
        Kintone kintone = makeClient(c.options);
        Outcome outcome;
        std::optional<Cause> cause;
        kintone.updateRecord(c.subDomain, "com", "1", authCode, "", "", "", "", "1", Json::object(), outcome.success(),
                             [&](Cause why) {
                                 cause = why;
                                 outcome.failure()();
                             });
        settle(outcome, ++alerts);
        EXPECT_EQ(outcome.failures(), 1);
        EXPECT_EQ(cause, c.cause);
    }
}
