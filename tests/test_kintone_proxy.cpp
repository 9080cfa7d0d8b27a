#include "support/KintoneTest.h"
#include "support/Tinyproxy.h"

#include <cstdlib>

using namespace stampo;
using namespace stampo::test;

namespace {

using Json = Kintone::Json;
using ProxyTest = KintoneTest;

// Points the proxy variables of the environment somewhere dead for the life of the object.
class DeadProxyEnvironment final {
public:
    DeadProxyEnvironment() {
        for (const char* name : names)
            setenv(name, "http://127.0.0.1:1", 1);
    }
    ~DeadProxyEnvironment() {
        for (const char* name : names)
            unsetenv(name);
    }

private:
    static constexpr const char* names[] = {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
};

} // namespace

TEST_F(ProxyTest, RequestsGoThroughTheConfiguredProxy) {
    Tinyproxy open({});
    Tinyproxy guarded({.user = "alice", .password = "s3cret"});
    ASSERT_TRUE(open.running()) << open.error();
    ASSERT_TRUE(guarded.running()) << guarded.error();

    const struct {
        const char* name;
        std::string host, port, user, password;
        std::string message; // empty: the record is added
    } cases[] = {
        {"open proxy", "127.0.0.1", open.port(), "", "", ""},
        {"open proxy by name", "localhost", open.port(), "", "ignored", ""},
        {"proxy with the right password", "127.0.0.1", guarded.port(), "alice", "s3cret", ""},
        {"proxy with a wrong password", "127.0.0.1", guarded.port(), "alice", "wrong",
         "プロキシサーバーの認証に失敗しました (56)"},
        {"proxy that needs a password we do not send", "127.0.0.1", guarded.port(), "", "s3cret",
         "プロキシサーバーの認証に失敗しました (56)"},
        {"no proxy listening", "127.0.0.1", "1", "", "", "プロキシサーバーに接続できませんでした (7)"},
    };
    std::size_t alerts = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.clearRequests();
        Outcome outcome;
        client.addRecord(subDomain, "com", "1", authCode, c.host, c.port, c.user, c.password, Json::object(),
                         outcome.success(), outcome.failure());
        if (!c.message.empty())
            ++alerts;
        settle(outcome, alerts);
        ASSERT_EQ(alert->messages().size(), alerts);
        if (c.message.empty()) {
            EXPECT_EQ(outcome.successes(), 1);
            EXPECT_EQ(sim.requests().size(), 1u);
        } else {
            EXPECT_EQ(outcome.failures(), 1);
            EXPECT_EQ(alert->messages().back(), c.message);
            EXPECT_TRUE(sim.requests().empty());
        }
    }
}

TEST_F(ProxyTest, EmptyProxyHostIgnoresTheRestAndTheEnvironment) {
    DeadProxyEnvironment environment;
    Outcome outcome;
    client.addRecord(subDomain, "com", "1", authCode, "", "1", "alice", "s3cret", Json::object(), outcome.success(),
                     outcome.failure());
    settle(outcome, 0);
    EXPECT_EQ(outcome.successes(), 1);
    ASSERT_EQ(sim.requests().size(), 1u);
}
