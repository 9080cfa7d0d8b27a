#include "net/EnvironmentProxy.h"
#include "net/Reachability.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// The exit code of a shell command, or -1 when it could not run or was killed.
int run(const std::string& command) {
    const int status = std::system((command + " 2>/dev/null").c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The probe host (STAMPO_PROBE_HOST, else the built-in one) for a request made directly, the proxy's host for one that
// goes through a proxy.
TEST(HostReachability, JudgesHostsByResolutionAndRoute) {
    for (const auto& [host, reachable] :
         {std::pair{"localhost", true}, {"127.0.0.1", true}, {"nonexistent.invalid", false}, {"", false}}) {
        EXPECT_EQ(stampo::HostReachability{host}.isReachable({}), reachable) << '"' << host << '"';
        EXPECT_EQ(stampo::HostReachability{"nonexistent.invalid"}.isReachable(host), reachable) << '"' << host << '"';
        EXPECT_EQ(stampo::HostReachability{"localhost"}.isReachable(host), *host == '\0' || reachable) << host;
    }
    for (const auto& [variable, probeHost] : {std::pair<const char*, const char*>{nullptr, "example.com"},
                                              {"", "example.com"},
                                              {"intranet.example", "intranet.example"}}) {
        variable ? setenv("STAMPO_PROBE_HOST", variable, 1) : unsetenv("STAMPO_PROBE_HOST");
        EXPECT_EQ(stampo::HostReachability{}.probeHost(), probeHost) << (variable ? variable : "(unset)");
    }
}

// The environment's proxy for kintone's address, as libcurl takes it.
TEST(EnvironmentProxy, TheProxyOfTheEnvironmentUnlessNoProxyNamesTheHost) {
    const char* const url = "https://example.cybozu.com/k/v1/record.json";
    const char* const names[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "no_proxy"};
    // The values of those variables, then the proxy's host.
    const char* const cases[][std::size(names) + 1] = {
        {"", "", "", "", ""},
        {"http://proxy.example:8080", "", "", "", "proxy.example"},
        {"proxy.example", "", "", "", "proxy.example"},
        {"http://alice:s3cr@t@[2001:db8::1]:3128/", "", "", "", "[2001:db8::1]"},
        {"", "http://upper.example:80", "", "", "upper.example"},
        {"", "", "socks5://all.example:1080", "", "all.example"},
        {"http://proxy.example:8080", "", "", "*", ""},
        {"http://proxy.example:8080", "", "", "localhost, .cybozu.com", ""},
        {"http://proxy.example:8080", "", "", "CYBOZU.COM", ""},
        {"http://proxy.example:8080", "", "", "example.cybozu.com", ""},
        {"http://proxy.example:8080", "", "", "ample.cybozu.com,cybozu.cn", "proxy.example"},
    };
    for (const auto& c : cases) {
        for (std::size_t i = 0; i < std::size(names); ++i)
            setenv(names[i], c[i], 1);
        EXPECT_EQ(stampo::EnvironmentProxy::hostFor(url), c[std::size(names)]) << c[0] << c[1] << c[2] << c[3];
    }
    for (const char* name : names)
        unsetenv(name);
}

// A fresh network namespace has only a loopback that is down: the name still resolves (/etc/hosts), but there is
// no route, so a probe that only resolves, or always answers yes, fails here.
TEST(HostReachability, NoRouteInAnEmptyNetworkNamespace) {
    const std::string unshare = geteuid() == 0 ? "unshare -n " : "unshare -rn ";
    if (run(unshare + "true") != 0)
        GTEST_SKIP() << "cannot create a network namespace here";
    const std::string probe = std::string("'") + STAMPO_REACHABILITY_PROBE + "' localhost";
    EXPECT_EQ(run(probe), 0) << "outside the namespace";
    EXPECT_EQ(run(unshare + probe), 1) << "inside the namespace";
}

} // namespace
