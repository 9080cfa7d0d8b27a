#include "net/EnvironmentProxy.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <string_view>

namespace stampo {

namespace {

std::string variable(std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0')
            return value;
    return {};
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Whether no_proxy's list names `host`: the host itself or a domain above it, with or without a leading dot.
bool bypasses(const std::string& noProxy, const std::string& host) {
    std::string list = noProxy;
    std::replace(list.begin(), list.end(), ',', ' ');
    std::istringstream entries(list);
    for (std::string entry; entries >> entry;) {
        if (entry == "*")
            return true;
        entry = lowered(entry.starts_with('.') ? entry.substr(1) : entry);
        if (!entry.empty() && (host == entry || (host.size() > entry.size() && host.ends_with("." + entry))))
            return true;
    }
    return false;
}

} // namespace

std::string EnvironmentProxy::address() {
    return variable({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"});
}

std::string EnvironmentProxy::hostOf(std::string_view address) {
    if (const auto scheme = address.find("://"); scheme != std::string_view::npos)
        address.remove_prefix(scheme + 3);
    address = address.substr(0, address.find_first_of("/?#"));
    if (const auto credentials = address.rfind('@'); credentials != std::string_view::npos)
        address.remove_prefix(credentials + 1);
    if (address.starts_with('['))
        return std::string(address.substr(0, address.find(']') + 1));
    return std::string(address.substr(0, address.find(':')));
}

std::string EnvironmentProxy::hostFor(const std::string& url) {
    const std::string proxy = address();
    if (proxy.empty() || bypasses(variable({"no_proxy", "NO_PROXY"}), lowered(hostOf(url))))
        return {};
    return hostOf(proxy);
}

} // namespace stampo
