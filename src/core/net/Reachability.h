#pragma once

#include <string>

namespace stampo {

// Answers whether the network can be used for a request: the host it first goes to (the probe host for a request
// made directly, the proxy's host for one that goes through a proxy) resolves, and the kernel has a route to one of
// its addresses. Nothing is sent to the host.
class Reachability {
public:
    virtual ~Reachability() = default;
    // `proxyHost`: the host of the proxy the request goes through (a name, an IPv4 address or a bracketed IPv6 one);
    // empty for a request made directly.
    virtual bool isReachable(const std::string& proxyHost) const = 0;
};

// The real probe. The built-in probe host is overridden by STAMPO_PROBE_HOST, read once at construction.
class HostReachability final : public Reachability {
public:
    HostReachability();
    explicit HostReachability(std::string probeHost);

    bool isReachable(const std::string& proxyHost) const override;
    const std::string& probeHost() const { return m_probeHost; }

private:
    std::string m_probeHost;
};

} // namespace stampo
