#include "kintone/TransportOptions.h"

#include <cstdlib>
#include <system_error>
#include <thread>

namespace stampo {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

} // namespace

bool TransportOptions::startDetachedThread(std::function<void()> work) {
    try {
        std::thread(std::move(work)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

TransportOptions TransportOptions::fromEnvironment() {
    static const TransportOptions options = [] {
        TransportOptions o;
        o.connectTo = environment("STAMPO_CONNECT_TO");
        o.caFile = environment("STAMPO_CA_FILE");
        return o;
    }();
    return options;
}

} // namespace stampo
