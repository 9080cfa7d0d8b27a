#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace stampo {

// How the kintone client's transport connects: time-outs, trust, where connections really go, how its
// threads are started. The defaults are production's; tests pass their own.
struct TransportOptions {
    // Starts `work` on a new detached thread; false when no thread could be started.
    using ThreadStarter = std::function<bool(std::function<void()> work)>;

    std::chrono::milliseconds connectTimeout{std::chrono::seconds(60)};
    // A request that receives no answer data for this long fails with a time-out.
    std::chrono::seconds idleTimeout{60};
    // PEM file of the CA certificates to trust instead of the system store; empty: the system store.
    std::string caFile{};
    // "HOST:PORT" every kintone connection goes to instead of the address's host; empty: the address's host.
    // The address, the Host header and the certificate name check stay those of the kintone address.
    std::string connectTo{};
    // Answers larger than this are refused rather than held in memory.
    std::size_t maxAnswerBytes = 64u * 1024u * 1024u;
    ThreadStarter startThread = startDetachedThread;

    static bool startDetachedThread(std::function<void()> work);

    // Production defaults, plus the development hooks STAMPO_CONNECT_TO and STAMPO_CA_FILE (read once).
    static TransportOptions fromEnvironment();
};

} // namespace stampo
