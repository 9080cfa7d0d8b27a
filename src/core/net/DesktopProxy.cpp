#include "net/DesktopProxy.h"

#include "net/EnvironmentProxy.h"
#include "util/SharedLibrary.h"

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string_view>

namespace stampo {

namespace {

struct ProxyFactory;

// libproxy's entry points, loaded at the first request: it loads its configuration modules (GSettings, KConfig, a PAC
// runner) as it starts.
struct Libproxy {
    ProxyFactory* (*factoryNew)() = nullptr;
    char** (*getProxies)(ProxyFactory*, const char*) = nullptr;
    void (*freeProxies)(char**) = nullptr;
    ProxyFactory* factory = nullptr;
};

std::optional<Libproxy> load() {
    // The factory lives for the process.
    const SharedLibrary library("libproxy.so.1");
    Libproxy proxy;
    bool complete = library.loaded();
    library.resolve("px_proxy_factory_new", proxy.factoryNew, complete);
    library.resolve("px_proxy_factory_get_proxies", proxy.getProxies, complete);
    library.resolve("px_proxy_factory_free_proxies", proxy.freeProxies, complete);
    if (!complete)
        return std::nullopt;
    proxy.factory = proxy.factoryNew();
    if (!proxy.factory)
        return std::nullopt;
    return proxy;
}

const Libproxy* libproxy() {
    static const std::optional<Libproxy> proxy = load();
    return proxy ? &*proxy : nullptr;
}

// With the development hook that sends every connection to a test server, a proxy of the desktop's (a company's)
// could not reach it: the desktop's settings are not asked then, the environment's still are.
bool redirected() {
    const char* connectTo = std::getenv("STAMPO_CONNECT_TO");
    return connectTo != nullptr && *connectTo != '\0';
}

} // namespace

bool DesktopProxy::fromEnvironment() {
    return !EnvironmentProxy::address().empty();
}

std::string DesktopProxy::forUrl(const std::string& url) {
    const Libproxy* proxy = fromEnvironment() || redirected() ? nullptr : libproxy();
    if (!proxy)
        return {};
    char** proxies = proxy->getProxies(proxy->factory, url.c_str());
    if (!proxies)
        return {};
    // The first is the one to use; libproxy lists others to try after it, which a request does not.
    const std::string first = proxies[0] ? proxies[0] : "";
    proxy->freeProxies(proxies);
    // "direct://", or a kind of proxy libcurl cannot speak to: the request goes directly.
    for (const char* scheme : {"http://", "https://", "socks4://", "socks4a://", "socks5://"})
        if (first.starts_with(scheme) && first.size() > std::string_view(scheme).size())
            return first;
    return {};
}

std::string DesktopProxy::hostFor(const std::string& url) {
    if (fromEnvironment())
        return EnvironmentProxy::hostFor(url);
    const std::string proxy = forUrl(url);
    return EnvironmentProxy::hostOf(proxy);
}

} // namespace stampo
