#include "net/Reachability.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Runs a program (searched in PATH) to its end; its exit code, or -1 when it could not run or was killed.
int run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(HostReachability, JudgesHostsByResolutionAndRoute) {
    struct Case {
        const char* host;
        bool reachable;
    };
    const Case cases[] = {{"localhost", true}, {"127.0.0.1", true}, {"nonexistent.invalid", false}, {"", false}};
    for (const Case& c : cases)
        EXPECT_EQ(stampo::HostReachability{c.host}.isReachable(), c.reachable) << '"' << c.host << '"';
}

TEST(HostReachability, ProbeHostComesFromTheEnvironmentWhenSet) {
    struct Case {
        const char* variable;
        const char* probeHost;
    };
    const Case cases[] = {{nullptr, "example.com"}, {"", "example.com"}, {"intranet.example", "intranet.example"}};
    for (const Case& c : cases) {
        if (c.variable == nullptr)
            unsetenv("STAMPO_PROBE_HOST");
        else
            setenv("STAMPO_PROBE_HOST", c.variable, 1);
        EXPECT_EQ(stampo::HostReachability{}.probeHost(), c.probeHost) << (c.variable ? c.variable : "(unset)");
    }
    unsetenv("STAMPO_PROBE_HOST");
}

// A fresh network namespace has only a loopback that is down: the name still resolves (/etc/hosts), but there is
// no route, so a probe that only resolves, or always answers yes, fails here.
TEST(HostReachability, NoRouteInAnEmptyNetworkNamespace) {
    const std::string unshareFlag = geteuid() == 0 ? "-n" : "-rn";
    if (run({"unshare", unshareFlag, "true"}) != 0)
        GTEST_SKIP() << "cannot create a network namespace here (unshare " << unshareFlag << " true failed)";

    EXPECT_EQ(run({STAMPO_REACHABILITY_PROBE, "localhost"}), 0) << "outside the namespace";
    EXPECT_EQ(run({"unshare", unshareFlag, STAMPO_REACHABILITY_PROBE, "localhost"}), 1) << "inside the namespace";
}

} // namespace
