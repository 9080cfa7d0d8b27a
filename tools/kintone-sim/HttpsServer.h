#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace kintonesim {

// httplib's TLS server with a connection loop of our own, for what httplib 0.11.4 cannot do alone: count accepted
// connections, show a request's header lines as sent (it drops empty values and decodes %-escapes), tell when a
// request arrived, let a handler cut its connection, and end idle keep-alive connections at once when stopping.
class HttpsServer final : public httplib::SSLServer {
public:
    HttpsServer(X509* certificate, EVP_PKEY* key);
    ~HttpsServer() override;
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    int acceptedConnections() const { return m_accepted; }
    // Stops listening and ends the connections waiting for a next request without waiting for their time-out.
    void stopNow();

    // For a handler, about the request being served on the calling thread: its header lines as received, in order.
    static std::vector<std::pair<std::string, std::string>> receivedHeaders();
    // When that request began to arrive.
    static std::chrono::steady_clock::time_point requestArrived();
    // Shuts that request's connection down, so the client gets nothing more.
    static void cutConnection();

private:
    bool process_and_close_socket(socket_t sock) override;
    bool serveRequests(socket_t sock, SSL* ssl);
    bool nextRequestArrives(socket_t sock, SSL* ssl) const;

    std::atomic<int> m_accepted{0};
    int m_stopEvent = -1;
};

} // namespace kintonesim
