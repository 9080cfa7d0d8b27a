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

// The proxy form's check: host and port, then user and password, must each be both filled or both empty. The
// message of the first pair that is not, naming its empty member; none when both pairs pass. Nothing is trimmed.
std::optional<std::string> checkProxyForm(const ProxyFields& fields);

} // namespace stampo
