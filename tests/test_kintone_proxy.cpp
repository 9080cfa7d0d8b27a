#include "support/KintoneTest.h"
#include "support/Tinyproxy.h"

#include <array>
#include <cstdlib>

using namespace stampo;
using namespace stampo::test;

using ProxyTest = KintoneTest;

// Requests go through the configured proxy, and through none when its host is empty, whatever the environment says.
TEST_F(ProxyTest, RequestsGoThroughTheConfiguredProxyOnly) {
    Tinyproxy open, guarded("alice", "s3cret");
    ASSERT_TRUE(open.running() && guarded.running()) << "tinyproxy cannot be started (is it installed?)";
    const char* const environment[] = {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
    for (const char* name : environment)
        setenv(name, "http://127.0.0.1:1", 1);

    const std::string wrongPassword = "プロキシサーバーの認証に失敗しました (56)";
    // Host, port, user, password, and the alert; none when the record is added.
    const std::array<std::string, 5> cases[] = {
        {"127.0.0.1", open.port(), "", "", ""},
        {"localhost", open.port(), "", "ignored", ""},
        {"127.0.0.1", guarded.port(), "alice", "s3cret", ""},
        {"127.0.0.1", guarded.port(), "alice", "wrong", wrongPassword},
        {"127.0.0.1", guarded.port(), "", "s3cret", wrongPassword},
        {"127.0.0.1", "1", "", "", "プロキシサーバーに接続できませんでした (7)"},
        {"", "1", "alice", "s3cret", ""}, // no proxy: the rest and the environment are ignored
    };
    std::size_t alerts = 0;
    for (const auto& [host, port, user, password, message] : cases) {
        SCOPED_TRACE(host + ":" + port + " " + user + ":" + password);
        sim.clearRequests();
        Outcome outcome;
        client.addRecord(subDomain, "com", "1", authCode, host, port, user, password, Json::object(), outcome.success(),
                         outcome.failure());
        ASSERT_NO_FATAL_FAILURE(settle(outcome, alerts += !message.empty()));
        ASSERT_EQ(alert->messages().size(), alerts);
        EXPECT_EQ(outcome.successes(), message.empty());
        EXPECT_EQ(sim.requests().size(), message.empty());
        EXPECT_EQ(message.empty() ? "" : alert->messages().back(), message);
    }
    for (const char* name : environment)
        unsetenv(name);
}
