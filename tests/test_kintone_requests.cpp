#include "support/KintoneTest.h"

#include <semaphore>

using namespace stampo;
using namespace stampo::test;

namespace {

using RequestTest = KintoneTest;
using Json = Kintone::Json;

std::vector<std::string> headerNames(const kintonesim::RecordedRequest& request) {
    std::vector<std::string> names;
    for (const auto& [name, value] : request.headers)
        names.push_back(name);
    return names;
}

} // namespace

TEST(FieldValue, BuildsUserSelectionOnlyForTheExactType) {
    const struct {
        const char* type;
        Json expected;
    } cases[] = {
        {"USER_SELECT", Json::parse(R"({"value":[{"code":"sato"}]})")},
        {"user_select", Json::parse(R"({"value":"sato"})")},
        {"DATETIME", Json::parse(R"({"value":"sato"})")},
        {"", Json::parse(R"({"value":"sato"})")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Kintone::fieldValue(c.type, "sato"), c.expected) << c.type;
}

TEST_F(RequestTest, WriteRequestsCarryTheirMethodHeadersAndPrettyBody) {
    const Json record{{"start", Kintone::fieldValue("DATETIME", "2024-05-01T00:30:00Z")},
                      {"employee", Kintone::fieldValue("USER_SELECT", "sato")}};
    Outcome added;
    addRecord(client, record, added);
    settle(added, 0);
    ASSERT_EQ(added.successes(), 1);
    const Json answer = *added.result();
    ASSERT_TRUE(answer.contains("id") && answer["id"].is_string());
    const std::string id = answer["id"];

    Outcome updated;
    const Json change{{"end", Kintone::fieldValue("DATETIME", "2024-05-01T09:00:00Z")}};
    client.updateRecord(subDomain, "com", "1", authCode, "", "", "", "", id, change, updated.success(),
                        updated.failure());
    settle(updated, 0);
    ASSERT_EQ(updated.successes(), 1);
    EXPECT_EQ(sim.record(1, std::stoi(id))["end"]["value"], "2024-05-01T09:00:00Z");

    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 2u);
    const struct {
        const char* method;
        Json body;
    } expected[] = {
        {"POST", Json{{"app", "1"}, {"record", record}}},
        {"PUT", Json{{"app", "1"}, {"id", id}, {"record", change}}},
    };
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& r = requests[i];
        SCOPED_TRACE(r.method);
        EXPECT_EQ(r.method, expected[i].method);
        EXPECT_EQ(r.path, "/k/v1/record.json");
        EXPECT_EQ(r.query, "");
        EXPECT_EQ(r.header("Host"), "example.cybozu.com");
        EXPECT_EQ(r.header("Content-Type"), "application/json");
        EXPECT_EQ(r.header("X-Cybozu-Authorization"), authCode);
        EXPECT_FALSE(r.hasHeader("Accept")) << ::testing::PrintToString(headerNames(r));
        EXPECT_FALSE(r.hasHeader("Expect"));
        EXPECT_EQ(Json::parse(r.body), expected[i].body);
        EXPECT_NE(r.body.find("\n  \""), std::string::npos) << "body is not pretty-printed: " << r.body;
    }
    EXPECT_TRUE(alert->messages().empty());
}

TEST_F(RequestTest, ReadRequestsAskForJsonAndReachTheRegionsHost) {
    Outcome fields;
    client.getFormFields(subDomain, "cn", "1", authCode, "", "", "", "", fields.success(), fields.failure());
    settle(fields, 0);
    ASSERT_EQ(fields.successes(), 1);

    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.path, "/k/v1/app/form/fields.json");
    EXPECT_EQ(r.query, "app=1");
    EXPECT_EQ(r.header("Host"), "example.cybozu.cn");
    EXPECT_EQ(r.header("Accept"), "application/json");
    EXPECT_EQ(r.header("X-Cybozu-Authorization"), authCode);
    EXPECT_FALSE(r.hasHeader("Content-Type"));
    EXPECT_TRUE(r.body.empty());

    // The properties reach the caller as kintone sent them: same members, same order.
    const Json sent = Json::parse(kintonesim::sampleData()["apps"]["1"]["properties"].dump());
    EXPECT_EQ(fields.result()->dump(), sent.dump());
}

TEST_F(RequestTest, CursorBodyJoinsConditionAndOrderUnchanged) {
    const struct {
        const char* condition;
        const char* order;
        const char* query;
    } cases[] = {
        {"", "", " order by $id asc"},
        {"社員番号 > 2", "", "社員番号 > 2 order by $id asc"},
        {"a = \"b\" or c = 1", "社員番号 desc", "a = \"b\" or c = 1 order by 社員番号 desc"},
    };
    for (const auto& c : cases) {
        sim.clearRequests();
        Outcome records;
        client.getRecords(subDomain, "com", "2", c.condition, c.order, authCode, "", "", "", "", records.success(),
                          records.failure());
        settle(records, 0);
        ASSERT_EQ(records.successes(), 1) << c.query;
        const auto created = sim.requests("POST", "/k/v1/records/cursor.json");
        ASSERT_EQ(created.size(), 1u);
        const Json body = Json::parse(created[0].body);
        EXPECT_EQ(body, (Json{{"app", "2"}, {"query", c.query}, {"size", 500}})) << body.dump();
        EXPECT_TRUE(body["size"].is_number_integer());
        EXPECT_EQ(created[0].header("Content-Type"), "application/json");
        EXPECT_FALSE(created[0].hasHeader("Accept"));
    }
}

TEST_F(RequestTest, EmptyAuthCodeIsSentAsAnEmptyHeaderAndKintonesRefusalIsShown) {
    Outcome outcome;
    addRecord(client, Json::object(), outcome, "");
    settle(outcome, 1);
    EXPECT_EQ(outcome.failures(), 1);
    EXPECT_EQ(outcome.successes(), 0);
    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].hasHeader("X-Cybozu-Authorization"));
    EXPECT_EQ(requests[0].header("X-Cybozu-Authorization"), "");
    EXPECT_EQ(alert->messages().at(0),
              "ユーザーのパスワード認証に失敗しました。「X-Cybozu-Authorization」ヘッダーの値が正しくありません。");
}

TEST_F(RequestTest, UnsafeInputReachesNoServer) {
    const std::string subdomainError = "サブドメインが正しくありません";
    const std::string authError = "認証コードに使用できない文字が含まれています";
    const struct {
        const char* name;
        std::string subDomain, region, auth, app, message;
    } cases[] = {
        {"subdomain with a path", "evil.example/#", "com", authCode, "1", subdomainError},
        {"empty subdomain", "", "com", authCode, "1", subdomainError},
        {"subdomain with a blank", "a b", "com", authCode, "1", subdomainError},
        {"subdomain over 63 characters", std::string(64, 'a'), "com", authCode, "1", subdomainError},
        {"other region", subDomain, "org", authCode, "1", "kintoneのドメインが正しくありません"},
        {"empty region", subDomain, "", authCode, "1", "kintoneのドメインが正しくありません"},
        {"auth code with CR LF", subDomain, "com", "abc\r\nX-Injected: 1", "1", authError},
        {"auth code with NUL", subDomain, "com", std::string("ab\0c", 4), "1", authError},
        {"app id that changes the address", subDomain, "com", authCode, "1&x=2#",
         "アプリIDに使用できない文字が含まれています"},
    };
    std::vector<std::string> expected;
    std::vector<Outcome> outcomes(2 * std::size(cases) + 2);
    auto outcome = outcomes.begin();
    for (const auto& c : cases) {
        // A write puts the app id into its body, not into the address.
        const bool writeRefused = c.app == "1";
        client.getFormFields(c.subDomain, c.region, c.app, c.auth, "", "", "", "", outcome->success(),
                             outcome->failure());
        EXPECT_EQ(outcome->failures(), 1) << c.name << ": failure is called before the call returns";
        expected.push_back(c.message);
        ++outcome;
        if (writeRefused) {
            client.addRecord(c.subDomain, c.region, c.app, c.auth, "", "", "", "", Json::object(), outcome->success(),
                             outcome->failure());
            EXPECT_EQ(outcome->failures(), 1) << c.name;
            expected.push_back(c.message);
            ++outcome;
        }
    }
    client.getUsers(0, "https://evil.example/#.cybozu.com/v1/users.json?offset=", 100, authCode, "", "", "", "",
                    outcome->failure(), nullptr, outcome->success());
    expected.push_back(subdomainError);
    ++outcome;
    addRecord(client, Json{{"start", Kintone::fieldValue("", "\xff\xfe")}}, *outcome);
    expected.push_back("送信するデータを作成できませんでした");

    settle(*outcome, expected.size());
    EXPECT_EQ(alert->messages(), expected);
    for (const Outcome& o : outcomes)
        EXPECT_EQ(o.successes(), 0);
    EXPECT_TRUE(sim.requests().empty());
    EXPECT_EQ(sim.connections(), 0);
}

TEST_F(RequestTest, ContinuationsRunOnWorkersAndAlertsOnTheMainQueue) {
    Outcome ok;
    Outcome refused;
    addRecord(client, Json::object(), ok);
    addRecord(client, Json::object(), refused, "wrong");
    settle(ok, 0);
    settle(refused, 1);
    EXPECT_EQ(ok.successes(), 1);
    EXPECT_EQ(refused.failures(), 1);
    for (const auto thread : {ok.thread(), refused.thread()}) {
        EXPECT_NE(thread, std::this_thread::get_id());
        EXPECT_NE(thread, mainQueue->threadId());
    }
    EXPECT_NE(ok.thread(), refused.thread());
    EXPECT_EQ(alert->threads(), std::vector<std::thread::id>{mainQueue->threadId()});
}

TEST_F(RequestTest, ContinuationWaitingForARequestItStartedIsWoken) {
    std::binary_semaphore updateEnded(0);
    Outcome outer;
    bool woken = false;
    client.addRecord(
        subDomain, "com", "1", authCode, "", "", "", "", Json::object(),
        [&](const Json& answer) {
            client.updateRecord(
                subDomain, "com", "1", authCode, "", "", "", "", answer["id"].get<std::string>(), Json::object(),
                [&](const Json&) { updateEnded.release(); }, [&] { updateEnded.release(); });
            woken = updateEnded.try_acquire_for(deadline);
            outer.success()(answer);
        },
        outer.failure());
    settle(outer, 0);
    EXPECT_TRUE(woken);
    EXPECT_EQ(sim.requests("PUT", "/k/v1/record.json").size(), 1u);
}

TEST_F(RequestTest, RequestThatCannotStartFailsAtOnce) {
    auto options = transportOptions();
    options.startThread = [](std::function<void()>) { return false; };
    Kintone starved = makeClient(options);
    Outcome outcome;
    addRecord(starved, Json::object(), outcome);
    EXPECT_EQ(outcome.failures(), 1);
    settle(outcome, 1);
    EXPECT_EQ(outcome.successes(), 0);
    EXPECT_EQ(alert->messages(), std::vector<std::string>{"通信を開始できませんでした"});
    EXPECT_TRUE(sim.requests().empty());
}

TEST_F(RequestTest, LaterRequestsResumeTheTlsSession) {
    for (int i = 0; i < 3; ++i) {
        Outcome outcome;
        addRecord(client, Json::object(), outcome);
        settle(outcome, 0);
        ASSERT_EQ(outcome.successes(), 1);
    }
    EXPECT_EQ(sim.connections(), 3); // a session per request, as the client keeps no connection between them
    EXPECT_EQ(sim.resumedHandshakes(), 2);
}
