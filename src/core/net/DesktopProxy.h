#pragma once

#include <string>

namespace stampo {

// The proxy the desktop gives for an address, where Stampo has none of its own. The environment's (https_proxy,
// no_proxy), when it names one, as for any program started from it; else the desktop's own settings (GNOME's or KDE's,
// manual or a PAC file), through libproxy, asked at every request and opened on first use.
class DesktopProxy final {
public:
    DesktopProxy() = delete;

    // Whether the environment names a proxy; libcurl then follows it by itself.
    static bool fromEnvironment();
    // The proxy libproxy gives for `url`, as libcurl takes it ("http://proxy.example:8080"); empty for a direct
    // request, when the environment names a proxy, and when libproxy cannot be used.
    static std::string forUrl(const std::string& url);
    // The host of the proxy a request to `url` goes through, whichever gives it; empty when it goes directly.
    static std::string hostFor(const std::string& url);
};

} // namespace stampo
