#include "net/Reachability.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// The exit code of a shell command, or -1 when it could not run or was killed.
int run(const std::string& command) {
    const int status = std::system((command + " 2>/dev/null").c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HostReachability, JudgesHostsByResolutionAndRoute) {
    for (const auto& [host, reachable] :
         {std::pair{"localhost", true}, {"127.0.0.1", true}, {"nonexistent.invalid", false}, {"", false}})
        EXPECT_EQ(stampo::HostReachability{host}.isReachable(), reachable) << '"' << host << '"';
}

TEST(HostReachability, ProbeHostComesFromTheEnvironmentWhenSet) {
    for (const auto& [variable, probeHost] : {std::pair<const char*, const char*>{nullptr, "example.com"},
                                              {"", "example.com"},
                                              {"intranet.example", "intranet.example"}}) {
        variable ? setenv("STAMPO_PROBE_HOST", variable, 1) : unsetenv("STAMPO_PROBE_HOST");
        EXPECT_EQ(stampo::HostReachability{}.probeHost(), probeHost) << (variable ? variable : "(unset)");
    }
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
