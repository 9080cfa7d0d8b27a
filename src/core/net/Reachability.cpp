#include "net/Reachability.h"

#include "util/FileDescriptor.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <utility>

namespace stampo {

namespace {

constexpr const char* builtInProbeHost = "example.com";
constexpr const char* probePort = "443";

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

std::string configuredProbeHost() {
    const char* host = std::getenv("STAMPO_PROBE_HOST");
    return host != nullptr && *host != '\0' ? host : builtInProbeHost;
}

// Connecting a UDP socket sends nothing: it only asks the kernel for a route to the address.
bool hasRoute(const addrinfo& address) {
    const FileDescriptor probe{::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol)};
    return probe.get() >= 0 && ::connect(probe.get(), address.ai_addr, address.ai_addrlen) == 0;
}

} // namespace

HostReachability::HostReachability()
    : m_probeHost(configuredProbeHost()) {}

HostReachability::HostReachability(std::string probeHost)
    : m_probeHost(std::move(probeHost)) {}

bool HostReachability::isReachable(const std::string& proxyHost) const {
    // Where no public name resolves and only a proxy reaches out (many a company's network), the question is
    // whether the proxy can be reached.
    std::string host = proxyHost.empty() ? m_probeHost : proxyHost;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), probePort, &hints, &found) != 0)
        return false;
    const AddrInfoList addresses{found};
    for (const addrinfo* address = addresses.get(); address != nullptr; address = address->ai_next) {
        if (hasRoute(*address))
            return true;
    }
    return false;
}

} // namespace stampo
