#pragma once

#include <string>
#include <string_view>

namespace stampo {

// The proxy the environment gives for an https address, as libcurl reads it: https_proxy (or HTTPS_PROXY, all_proxy,
// ALL_PROXY), unless no_proxy (or NO_PROXY) names the address's host or a domain above it, or is "*".
class EnvironmentProxy final {
public:
    EnvironmentProxy() = delete;

    // The proxy's host ("proxy.example", "192.0.2.1", "[2001:db8::1]"); empty when the request goes directly.
    static std::string hostFor(const std::string& url);
    // The proxy the environment names for https, whatever the address; empty when it names none.
    static std::string address();
    // The host of a proxy's address "[scheme://][user[:password]@]host[:port][/...]".
    static std::string hostOf(std::string_view address);
};

} // namespace stampo
