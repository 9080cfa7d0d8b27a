#pragma once

#include <string>

namespace stampo {

// Answers whether the network can be used at all: the probe host resolves and the kernel has a route
// to one of its addresses. Nothing is sent to the host.
class Reachability {
public:
    virtual ~Reachability() = default;
    virtual bool isReachable() const = 0;
};

// The real probe. The built-in probe host is overridden by STAMPO_PROBE_HOST, read once at construction.
class HostReachability final : public Reachability {
public:
    HostReachability();
    explicit HostReachability(std::string probeHost);

    bool isReachable() const override;
    const std::string& probeHost() const { return m_probeHost; }

private:
    std::string m_probeHost;
};

} // namespace stampo
