#include "kintone/Connection.h"

#include "SettingsStore.h"
#include "kintone/ErrorTexts.h"
#include "settings/SettingsKeys.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <sstream>
#include <utility>

namespace stampo {

namespace {

// Each setting in the order the connection holds it; a missing one is none.
std::array<std::optional<std::string>, 8> read(const SettingsStore& store) {
    std::array<std::optional<std::string>, 8> values;
    using namespace SettingsKeys;
    const char* const keys[] = {subDomain, topLevelDomain, appID,     authCode,
                                proxyHost, proxyPort,      proxyUser, proxyPassword};
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = store.stringForKey(keys[i]);
    return values;
}

Connection made(std::array<std::optional<std::string>, 8> v) {
    const auto take = [](std::optional<std::string>& value) { return std::move(value).value_or(""); };
    return Connection{take(v[0]), take(v[1]), take(v[2]), take(v[3]), {take(v[4]), take(v[5]), take(v[6]), take(v[7])}};
}

} // namespace

Connection Connection::forApp(std::string otherAppId) const {
    Connection other = *this;
    other.appId = std::move(otherAppId);
    return other;
}

std::optional<std::string> Connection::problem(bool appIdInAddress) const {
    if (!isHostLabel(subDomain))
        return ErrorTexts::invalidSubdomain();
    if (!isRegion(topLevelDomain))
        return ErrorTexts::invalidRegion();
    if (!isHeaderSafe(authCode))
        return ErrorTexts::invalidAuthCode();
    if (appIdInAddress && !isAddressSafe(appId))
        return ErrorTexts::invalidAppId();
    return proxyProblem(proxy);
}

std::optional<std::string> Connection::proxyProblem(const ProxySettings& proxy) {
    // Without a host no proxy is used, whatever else is stored.
    if (!proxy.host.empty() && !isProxyHost(proxy.host))
        return ErrorTexts::invalidProxyHost();
    if (!proxy.host.empty() && !isPort(proxy.port))
        return ErrorTexts::invalidProxyPort();
    return std::nullopt;
}

std::optional<Connection> Connection::fromStore(const SettingsStore& store) {
    auto values = read(store);
    if (std::any_of(values.begin(), values.end(), [](const auto& value) { return !value; }))
        return std::nullopt;
    return made(std::move(values));
}

Connection Connection::fromStoreOrEmpty(const SettingsStore& store) {
    return made(read(store));
}

ProxySettings Connection::proxyFromStore(const SettingsStore& store) {
    return fromStoreOrEmpty(store).proxy;
}

bool Connection::isHostLabel(const std::string& text) {
    if (text.empty() || text.size() > 63)
        return false;
    return std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    });
}

bool Connection::isRegion(const std::string& text) {
    return text == "com" || text == "cn";
}

bool Connection::isHeaderSafe(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

bool Connection::isAddressSafe(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
               c == '_' || c == '~';
    });
}

bool Connection::isProxyHost(const std::string& text) {
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        in6_addr address{};
        return inet_pton(AF_INET6, text.substr(1, text.size() - 2).c_str(), &address) == 1;
    }
    if (text.empty() || text.size() > 253)
        return false;
    bool numeric = true;
    std::istringstream labels(text);
    std::size_t count = 0;
    for (std::string label; std::getline(labels, label, '.'); ++count) {
        // Underscores are not in the host name rules, but in many a company's names.
        const bool valid = !label.empty() && label.size() <= 63 && label.front() != '-' && label.back() != '-' &&
                           std::all_of(label.begin(), label.end(),
                                       [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '_'; });
        if (!valid)
            return false;
        numeric = numeric && std::all_of(label.begin(), label.end(), [](unsigned char c) { return std::isdigit(c); });
    }
    if (text.back() == '.' || count == 0)
        return false;
    // All digits is an IPv4 address, which must then be one.
    in_addr address{};
    return !numeric || inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool Connection::isPort(const std::string& text) {
    unsigned port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    return !text.empty() && text.size() <= 5 && error == std::errc() && end == text.data() + text.size() && port >= 1 &&
           port <= 65535;
}

} // namespace stampo
