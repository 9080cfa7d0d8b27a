#include "KintoneSimulator.h"

#include <gtest/gtest.h>

#include <httplib.h>

#include <chrono>
#include <future>
#include <optional>
#include <regex>

using kintonesim::Fault;
using kintonesim::FaultRule;
using kintonesim::Json;
using kintonesim::KintoneSimulator;

namespace {

constexpr const char* authCode = "dXNlcjpwYXNzd29yZA==";
constexpr const char* host = "example.cybozu.com";
constexpr auto deadline = std::chrono::seconds(10);

// A keep-alive HTTPS client that reaches the simulator under a kintone host name and trusts only its CA.
std::unique_ptr<httplib::SSLClient> clientOf(const KintoneSimulator& sim) {
    auto client = std::make_unique<httplib::SSLClient>(host, sim.port());
    client->set_hostname_addr_map({{host, "127.0.0.1"}});
    client->set_ca_cert_path(sim.caFile().string());
    client->enable_server_certificate_verification(true);
    client->set_keep_alive(true);
    client->set_tcp_nodelay(true);
    return client;
}

httplib::Result send(httplib::SSLClient& client, const std::string& method, const std::string& target,
                     const std::string& body = "", const char* auth = authCode) {
    httplib::Request request;
    request.method = method;
    request.path = target;
    if (auth != nullptr)
        request.headers.emplace("X-Cybozu-Authorization", auth);
    if (!body.empty()) {
        request.headers.emplace("Content-Type", "application/json");
        request.body = body;
    }
    return client.send(request);
}

FaultRule rule(const char* method, const char* path, Fault::Kind kind, int skip = 0, int times = -1) {
    FaultRule rule{method, path, "", skip, times, {}};
    rule.fault.kind = kind;
    return rule;
}

FaultRule answer(const char* path, int status, std::string body, std::string contentType, int skip = 0,
                 int times = -1) {
    FaultRule rule = ::rule("GET", path, Fault::Kind::Answer, skip, times);
    rule.fault.status = status;
    rule.fault.body = std::move(body);
    rule.fault.contentType = std::move(contentType);
    return rule;
}

class SimulatorTest : public ::testing::Test {
protected:
    // The answer's body, after checking its status.
    Json call(const std::string& method, const std::string& target, const Json& body, int status) {
        const auto result = send(*client, method, target, body.is_null() ? "" : body.dump());
        EXPECT_TRUE(result) << method << ' ' << target << ": " << httplib::to_string(result.error());
        if (!result)
            return nullptr;
        EXPECT_EQ(result->status, status) << method << ' ' << target << ": " << result->body;
        return Json::parse(result->body);
    }

    KintoneSimulator sim;
    std::unique_ptr<httplib::SSLClient> client = clientOf(sim);
};

} // namespace

TEST_F(SimulatorTest, EndpointsAnswerAndRecordLikeKintone) {
    constexpr const char* fields = "/k/v1/app/form/fields.json";
    constexpr const char* record = "/k/v1/record.json";
    const struct {
        const char* name;
        const char* method;
        std::string target;
        std::string body;
        const char* auth;
        int status;
        std::vector<std::string> members;                 // the answer's members, in order
        std::vector<std::pair<std::string, Json>> values; // JSON pointer -> value; null: must be absent
    } cases[] = {
        {"no auth",
         "GET",
         fields + std::string("?app=1"),
         "",
         nullptr,
         401,
         {"code", "id", "message"},
         {{"/code", "CB_WA01"}}},
        {"empty auth",
         "GET",
         fields + std::string("?app=1"),
         "",
         "",
         401,
         {"code", "id", "message"},
         {{"/code", "CB_WA01"}}},
        {"wrong auth", "GET", "/v1/users.json", "", "dXNlcjp3cm9uZw==", 401, {"code", "id", "message"}, {}},
        {"form fields",
         "GET",
         fields + std::string("?app=1"),
         "",
         authCode,
         200,
         {"properties", "revision"},
         {{"/properties/start/type", "DATETIME"},
          {"/properties/employee/type", "USER_SELECT"},
          {"/properties/employeeNo/lookup/relatedApp/app", "2"},
          {"/revision", "1"}}},
        {"form fields of an unknown app",
         "GET",
         fields + std::string("?app=99"),
         "",
         authCode,
         404,
         {"code", "id", "message"},
         {{"/code", "GAIA_AP01"}}},
        {"users slice",
         "GET",
         "/v1/users.json?offset=1&size=2",
         "",
         authCode,
         200,
         {"users"},
         {{"/users/0/code", "suzuki"}, {"/users/1/code", "takahashi"}, {"/users/2", nullptr}}},
        {"users by default",
         "GET",
         "/v1/users.json",
         "",
         authCode,
         200,
         {"users"},
         {{"/users/0/code", "sato"}, {"/users/4/code", "watanabe"}, {"/users/5", nullptr}}},
        {"users page over 100",
         "GET",
         "/v1/users.json?size=101",
         "",
         authCode,
         400,
         {"code", "id", "message", "errors"},
         {{"/code", "CB_VA01"}}},
        {"add record, unknown field ignored",
         "POST",
         record,
         R"({"app":"1","record":{"start":{"value":"2024-05-01T00:30:00Z"},)"
         R"("employee":{"value":[{"code":"sato"}]},"unknown":{"value":"x"}}})",
         authCode,
         200,
         {"id", "revision"},
         {{"/id", "1"}, {"/revision", "1"}}},
        {"add record, app as number",
         "POST",
         record,
         R"({"app":2,"record":{"社員番号":{"value":"1006"}}})",
         authCode,
         200,
         {"id", "revision"},
         {{"/id", "6"}}},
        {"add record, malformed date",
         "POST",
         record,
         R"({"app":"1","record":{"start":{"value":"2024/05/01"}}})",
         authCode,
         400,
         {"code", "id", "message", "errors"},
         {{"/code", "CB_VA01"}}},
        {"add record, unknown user",
         "POST",
         record,
         R"({"app":"1","record":{"employee":{"value":[{"code":"nobody"}]}}})",
         authCode,
         400,
         {"code", "id", "message", "errors"},
         {{"/code", "CB_VA01"}}},
        {"add record to an unknown app",
         "POST",
         record,
         R"({"app":"99","record":{}})",
         authCode,
         404,
         {"code", "id", "message"},
         {{"/code", "GAIA_AP01"}}},
        {"body that is not JSON",
         "POST",
         record,
         "{",
         authCode,
         400,
         {"code", "id", "message"},
         {{"/code", "CB_IJ01"}}},
        {"update merges",
         "PUT",
         record,
         R"({"app":"2","id":"1","record":{"氏名":{"value":"佐藤 はなこ"}}})",
         authCode,
         200,
         {"revision"},
         {{"/revision", "2"}}},
        {"update of a missing record",
         "PUT",
         record,
         R"({"app":"2","id":999,"record":{}})",
         authCode,
         404,
         {"code", "id", "message"},
         {{"/code", "GAIA_RE01"}}},
        {"unknown API", "GET", "/k/v1/apps.json", "", authCode, 404, {"code", "id", "message"}, {}},
        {"known path, other method", "PATCH", record, R"({"app":"1"})", authCode, 404, {"code", "id", "message"}, {}},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = send(*client, c.method, c.target, c.body, c.auth);
        ASSERT_TRUE(result) << httplib::to_string(result.error());
        EXPECT_EQ(result->status, c.status) << result->body;
        EXPECT_EQ(result->get_header_value("Content-Type"), "application/json; charset=utf-8");
        const Json answer = Json::parse(result->body);
        std::vector<std::string> members;
        for (const auto& [key, value] : answer.items())
            members.push_back(key);
        EXPECT_EQ(members, c.members) << result->body;
        for (const auto& [pointer, value] : c.values) {
            const Json::json_pointer at(pointer);
            if (value.is_null()) {
                EXPECT_FALSE(answer.contains(at)) << pointer;
            } else {
                EXPECT_EQ(answer.value(at, Json()), value) << pointer;
            }
        }

        // The request is recorded as sent, empty header values included.
        const auto recorded = sim.requests().back();
        const auto question = c.target.find('?');
        EXPECT_EQ(recorded.method, c.method);
        EXPECT_EQ(recorded.path, c.target.substr(0, question));
        EXPECT_EQ(recorded.query, question == std::string::npos ? "" : c.target.substr(question + 1));
        EXPECT_EQ(recorded.body, c.body);
        EXPECT_EQ(recorded.hasHeader("x-cybozu-authorization"), c.auth != nullptr);
        EXPECT_EQ(recorded.header("X-CYBOZU-AUTHORIZATION"), c.auth ? c.auth : "");
        EXPECT_EQ(recorded.header("Host"), host + (":" + std::to_string(sim.port())));
    }

    EXPECT_EQ(sim.requests().size(), std::size(cases));
    EXPECT_EQ(sim.requests("PUT", record).size(), 2u);
    Json added = sim.record(1, 1);
    EXPECT_EQ(added["$id"]["value"], "1");
    EXPECT_EQ(added["start"]["value"], "2024-05-01T00:30:00Z");
    EXPECT_FALSE(added.contains("unknown"));
    Json updated = sim.record(2, 1);
    EXPECT_EQ(updated["氏名"]["value"], "佐藤 はなこ");
    EXPECT_EQ(updated["社員番号"]["value"], "1001") << "an update keeps the fields it does not name";
    EXPECT_EQ(sim.records(1).size(), 1u) << "refused records were stored";
    // Every request, errors included, went over one kept-alive connection (httplib's default would cut it at 5).
    EXPECT_EQ(sim.connections(), 1);
    EXPECT_EQ(sim.handshakes(), 1);
}

TEST_F(SimulatorTest, CursorPagesASnapshotThenGoesAway) {
    constexpr const char* cursor = "/k/v1/records/cursor.json";
    Json created = call("POST", cursor, {{"app", "2"}, {"query", "社員番号 > 0 order by $id asc"}, {"size", 2}}, 200);
    ASSERT_TRUE(created.is_object());
    EXPECT_EQ(created["totalCount"], "5");
    const std::string id = created["id"];
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"))) << id;
    sim.addRecord(2, {{"社員番号", {{"value", "1006"}}}});

    std::vector<std::string> ids;
    std::vector<bool> nexts;
    for (Json page; page.is_null() || page["next"] == true;) {
        page = call("GET", cursor + ("?id=" + id), nullptr, 200);
        ASSERT_TRUE(page.is_object());
        nexts.push_back(page["next"].get<bool>());
        for (auto r : page["records"])
            ids.push_back(r["$id"]["value"].get<std::string>());
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"1", "2", "3", "4", "5"})) << "ascending, without the later record";
    EXPECT_EQ(nexts, (std::vector<bool>{true, true, false}));
    EXPECT_EQ(sim.openCursors(), 0);
    EXPECT_EQ(call("GET", cursor + ("?id=" + id), nullptr, 404)["code"], "GAIA_CU01");

    // Without an order by $id asc, kintone's own order: newest first.
    Json newest = call("POST", cursor, {{"app", 2}, {"query", ""}}, 200);
    EXPECT_EQ(
        call("GET", cursor + ("?id=" + newest["id"].get<std::string>()), nullptr, 200)["records"][0]["$id"]["value"],
        "6");

    EXPECT_EQ(call("POST", cursor, {{"app", "2"}, {"size", 501}}, 400)["code"], "CB_VA01");
    EXPECT_EQ(call("POST", cursor, {{"app", "99"}}, 404)["code"], "GAIA_AP01");
    std::vector<std::string> open;
    for (int i = 0; i < 10; ++i)
        open.push_back(call("POST", cursor, {{"app", "2"}}, 200)["id"].get<std::string>());
    EXPECT_EQ(call("POST", cursor, {{"app", "2"}}, 400)["code"], "GAIA_TM12") << "kintone allows 10 open cursors";
    EXPECT_EQ(call("DELETE", cursor, {{"id", open[0]}}, 200), Json::object());
    EXPECT_EQ(call("DELETE", cursor, {{"id", open[0]}}, 404)["code"], "GAIA_CU01");
    EXPECT_EQ(sim.openCursors(), 9);
    call("POST", cursor, {{"app", "2"}}, 200);
}

TEST_F(SimulatorTest, FaultsApplyInOrderWithSkipAndTimes) {
    constexpr const char* users = "/v1/users.json";
    const std::string html = "<html><body>Bad Gateway</body></html>";
    FaultRule sizeSeven = answer(users, 503, "", "");
    sizeSeven.queryContains = "size=7";
    FaultRule delay = rule("GET", "/k/v1/app/form/fields.json", Fault::Kind::Delay);
    delay.fault.delay = std::chrono::milliseconds(300);
    sim.addFault(answer(users, 502, html, "text/html", 1, 2));
    sim.addFault(sizeSeven);
    sim.addFault(rule("POST", "/k/v1/record.json", Fault::Kind::Drop, 0, 1));
    sim.addFault(delay);

    // A request the first rule skips or no longer applies to goes on to the next rule.
    const struct {
        std::string target;
        int status;
        std::string body;
    } cases[] = {
        {"/v1/users.json?size=7", 503, ""}, {"/v1/users.json", 502, html},      {"/v1/users.json", 502, html},
        {"/v1/users.json", 200, ""},        {"/v1/users.json?size=7", 503, ""},
    };
    for (const auto& c : cases) {
        const auto result = send(*client, "GET", c.target);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status) << c.target;
        if (c.status == 200) {
            EXPECT_EQ(result->body.rfind(R"({"users":[)", 0), 0u);
        } else {
            EXPECT_EQ(result->body, c.body);
        }
        if (c.status == 502) {
            EXPECT_EQ(result->get_header_value("Content-Type"), "text/html");
        }
    }

    // A dropped answer is cut short, but the request has taken effect, as when a real connection breaks.
    const auto dropped = send(*client, "POST", "/k/v1/record.json", R"({"app":"1","record":{}})");
    EXPECT_FALSE(dropped);
    EXPECT_EQ(dropped.error(), httplib::Error::Read);
    EXPECT_EQ(sim.records(1).size(), 1u);
    const auto retried = send(*client, "POST", "/k/v1/record.json", R"({"app":"1","record":{}})");
    ASSERT_TRUE(retried);
    EXPECT_EQ(retried->status, 200);

    const auto start = std::chrono::steady_clock::now();
    const auto delayed = send(*client, "GET", "/k/v1/app/form/fields.json?app=1");
    ASSERT_TRUE(delayed);
    EXPECT_EQ(delayed->status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(sim.requests().size(), 8u) << "faulted requests are recorded too";
}

// A hung request holds no one else up, ends without an answer when released, and does not keep the simulator alive.
TEST(SimulatorHang, ReleasedByReleaseHangsOrByTheDestructor) {
    std::optional<KintoneSimulator> sim(std::in_place);
    sim->addFault(rule("PUT", "/k/v1/record.json", Fault::Kind::Hang));
    const auto hang = [&] {
        return std::async(std::launch::async, [client = clientOf(*sim)] {
            client->set_read_timeout(deadline);
            return send(*client, "PUT", "/k/v1/record.json", R"({"app":"2","id":"1","record":{}})");
        });
    };

    auto first = hang();
    ASSERT_TRUE(sim->waitForRequests(1, deadline));
    const auto other = clientOf(*sim);
    const auto meanwhile = send(*other, "GET", "/v1/users.json");
    ASSERT_TRUE(meanwhile) << "a hung request starves the others";
    EXPECT_EQ(meanwhile->status, 200);
    EXPECT_EQ(first.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    sim->releaseHangs();
    ASSERT_EQ(first.wait_for(deadline), std::future_status::ready);
    const auto released = first.get();
    EXPECT_FALSE(released);
    EXPECT_EQ(released.error(), httplib::Error::Read);

    auto second = hang();
    ASSERT_TRUE(sim->waitForRequests(3, deadline));
    sim.reset();
    ASSERT_EQ(second.wait_for(deadline), std::future_status::ready);
    EXPECT_FALSE(second.get());
}
