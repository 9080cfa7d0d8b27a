#pragma once

#include <optional>
#include <string>

namespace stampo {

// The four texts of the proxy form, as typed.
struct ProxyFields {
    std::string host;
    std::string port;
    std::string user;
    std::string password;
};

// The proxy form's check: host and port, then user and password, must each be both filled or both empty, and a host
// and port given must be a host name or address and a port number. The message of the first check that fails; none
// when all pass. Nothing is trimmed.
std::optional<std::string> checkProxyForm(const ProxyFields& fields);

} // namespace stampo
