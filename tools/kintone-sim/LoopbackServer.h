#pragma once

#include "Certificates.h"
#include "HttpsServer.h"
#include "OwnedDirectory.h"

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace kintonesim {

struct SimulatorOptions;

// The simulator's HTTPS endpoint on 127.0.0.1: makes the certificates, writes out the CA, and hands every request to
// `handler` on threads of its own, from construction until destruction.
class LoopbackServer final {
public:
    LoopbackServer(const SimulatorOptions& options, httplib::Server::Handler handler);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t port() const { return m_port; }
    const std::filesystem::path& caFile() const { return m_caFile; }
    // "127.0.0.1:PORT"
    std::string connectTo() const;
    int connections() const { return m_server.acceptedConnections(); }
    int handshakes() const { return static_cast<int>(SSL_CTX_sess_accept_good(m_server.ssl_context())); }
    int resumedHandshakes() const { return static_cast<int>(SSL_CTX_sess_hits(m_server.ssl_context())); }

private:
    const OwnedDirectory m_ownedDirectory;
    const std::filesystem::path m_caFile;
    const Certificates m_certificates;
    HttpsServer m_server;
    std::uint16_t m_port = 0;
    std::thread m_listener;
    std::mutex m_mutex;
    std::condition_variable m_readyChanged;
    bool m_ready = false;
};

} // namespace kintonesim
