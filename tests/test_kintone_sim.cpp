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

FaultRule rule(const char* method, const char* path, Fault::Kind kind) {
    FaultRule rule{method, path, "", 0, -1, {}};
    rule.fault.kind = kind;
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
