#pragma once

#include "kintone/HttpExchange.h"

#include <optional>
#include <string>

namespace stampo {

class SettingsStore;

// What a request to kintone goes with: where the service is (subdomain and region), the app, the auth code and the
// proxy. The settings are read into it in one place (fromStore); problem() is the one check of what must never be
// sent, which every operation of the client makes before anything else.
struct Connection {
    std::string subDomain;
    std::string topLevelDomain;
    std::string appId;
    std::string authCode;
    ProxySettings proxy;

    // The same connection to another app of the service, such as a lookup's source app.
    Connection forApp(std::string otherAppId) const;

    // Why it must not be sent, or none: a subdomain that is not a host label, a region other than "com" or "cn", an
    // auth code that could end its header line, a proxy whose host or port would change which proxy is used or what
    // it is told; with `appIdInAddress`, an app id that would change the address.
    std::optional<std::string> problem(bool appIdInAddress = false) const;

    // Why a request must not go through `proxy`, or none; part of problem().
    static std::optional<std::string> proxyProblem(const ProxySettings& proxy);

    // The stored settings; none when any of them is missing altogether.
    static std::optional<Connection> fromStore(const SettingsStore& store);
    // The same, a missing setting counting as the empty text.
    static Connection fromStoreOrEmpty(const SettingsStore& store);
    static ProxySettings proxyFromStore(const SettingsStore& store);

    // The checks problem() makes, for the addresses and codes that reach the client by other ways (the users prefix,
    // a cursor address and id). A subdomain that keeps the address kintone's: letters, digits and hyphens, 1 to 63.
    static bool isHostLabel(const std::string& text);
    static bool isRegion(const std::string& text);
    // A header value that cannot end its line and start another header.
    static bool isHeaderSafe(const std::string& text);
    // Characters that cannot change the meaning of an address they are put into unencoded.
    static bool isAddressSafe(const std::string& text);
    // A proxy's host: a host name, an IPv4 address or an IPv6 address in brackets ("[::1]").
    static bool isProxyHost(const std::string& text);
    // A port: a number from 1 to 65535.
    static bool isPort(const std::string& text);
};

} // namespace stampo
