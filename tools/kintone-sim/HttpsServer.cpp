#include "HttpsServer.h"

#include "Certificates.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <memory>
#include <string_view>
#include <system_error>

namespace kintonesim {
namespace {

using SslPtr = std::unique_ptr<SSL, OpenSslDeleter<SSL_free>>;

constexpr std::string_view endOfHead = "\r\n\r\n";

// The connection being served on a thread, as its request handler may see it.
struct Connection {
    socket_t socket = -1;
    std::string head; // what was read of the current request, up to the blank line after its headers
    bool headComplete = false;
    std::chrono::steady_clock::time_point arrived; // when the current request's first bytes could be read
};

thread_local Connection* t_connection = nullptr;

// Makes a connection the calling thread's current one for as long as it is in scope.
class CurrentConnection final {
public:
    explicit CurrentConnection(Connection& connection) { t_connection = &connection; }
    ~CurrentConnection() { t_connection = nullptr; }
    CurrentConnection(const CurrentConnection&) = delete;
    CurrentConnection& operator=(const CurrentConnection&) = delete;
};

int toMilliseconds(time_t seconds, time_t microseconds) {
    return static_cast<int>(std::min<long long>(INT_MAX, static_cast<long long>(seconds) * 1000 + microseconds / 1000));
}

bool waitFor(socket_t sock, short events, int milliseconds) {
    pollfd entry{sock, events, 0};
    int ready = 0;
    do {
        ready = poll(&entry, 1, milliseconds);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

void describe(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    }
    ip = text;
}

// httplib's Stream over one TLS connection, keeping each request's head as it is read.
class TlsStream final : public httplib::Stream {
public:
    TlsStream(SSL* ssl, Connection& connection, int readTimeout, int writeTimeout)
        : m_ssl(ssl)
        , m_connection(connection)
        , m_readTimeout(readTimeout)
        , m_writeTimeout(writeTimeout) {}

    bool is_readable() const override {
        return SSL_pending(m_ssl) > 0 || waitFor(m_connection.socket, POLLIN, m_readTimeout);
    }
    bool is_writable() const override { return waitFor(m_connection.socket, POLLOUT, m_writeTimeout); }

    ssize_t read(char* data, size_t size) override {
        // The accepted socket is blocking with httplib's read time-out (SO_RCVTIMEO) set on it.
        ERR_clear_error();
        const int count = SSL_read(m_ssl, data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
        if (count <= 0)
            return SSL_get_error(m_ssl, count) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
        keepHead(std::string_view(data, static_cast<size_t>(count)));
        return count;
    }

    ssize_t write(const char* data, size_t size) override {
        ERR_clear_error();
        const int count = SSL_write(m_ssl, data, static_cast<int>(std::min<size_t>(size, INT_MAX)));
        return count > 0 ? count : -1;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { address(getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { address(getsockname, ip, port); }
    socket_t socket() const override { return m_connection.socket; }

private:
    void keepHead(std::string_view data) {
        if (m_connection.headComplete)
            return;
        const size_t searchFrom = m_connection.head.size() < 3 ? 0 : m_connection.head.size() - 3;
        m_connection.head += data;
        const size_t end = m_connection.head.find(endOfHead, searchFrom);
        if (end != std::string::npos) {
            m_connection.head.resize(end + endOfHead.size());
            m_connection.headComplete = true;
        }
    }

    template <class Query> void address(Query query, std::string& ip, int& port) const {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (query(m_connection.socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            describe(address, ip, port);
    }

    SSL* m_ssl;
    Connection& m_connection;
    int m_readTimeout;
    int m_writeTimeout;
};

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace

HttpsServer::HttpsServer(X509* certificate, EVP_PKEY* key)
    : SSLServer(certificate, key)
    , m_stopEvent(eventfd(0, EFD_CLOEXEC)) {
    if (m_stopEvent < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

HttpsServer::~HttpsServer() {
    close(m_stopEvent);
}

void HttpsServer::stopNow() {
    // The event stays readable, so every connection waiting now or later sees it.
    const std::uint64_t one = 1;
    if (::write(m_stopEvent, &one, sizeof one) != sizeof one)
        throw std::system_error(errno, std::generic_category(), "eventfd write");
    stop();
}

std::vector<std::pair<std::string, std::string>> HttpsServer::receivedHeaders() {
    std::vector<std::pair<std::string, std::string>> headers;
    if (t_connection == nullptr)
        return headers;
    std::string_view head = t_connection->head;
    head.remove_prefix(std::min(head.size(), head.find('\n') + 1)); // the request line
    while (!head.empty()) {
        const size_t end = head.find('\n');
        const std::string_view line = head.substr(0, end);
        head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos)
            headers.emplace_back(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
    }
    return headers;
}

std::chrono::steady_clock::time_point HttpsServer::requestArrived() {
    return t_connection != nullptr ? t_connection->arrived : std::chrono::steady_clock::now();
}

void HttpsServer::cutConnection() {
    if (t_connection != nullptr)
        shutdown(t_connection->socket, SHUT_RDWR);
}

bool HttpsServer::process_and_close_socket(socket_t sock) {
    ++m_accepted;
    bool graceful = false;
    SslPtr ssl(SSL_new(ssl_context()));
    ERR_clear_error();
    if (ssl && SSL_set_fd(ssl.get(), sock) == 1 && SSL_accept(ssl.get()) == 1) {
        graceful = serveRequests(sock, ssl.get());
        if (graceful)
            SSL_shutdown(ssl.get());
    }
    ssl.reset();
    ERR_clear_error();
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return graceful;
}

bool HttpsServer::serveRequests(socket_t sock, SSL* ssl) {
    Connection connection{sock, {}, false, {}};
    const CurrentConnection current(connection);
    TlsStream stream(ssl, connection, toMilliseconds(read_timeout_sec_, read_timeout_usec_),
                     toMilliseconds(write_timeout_sec_, write_timeout_usec_));
    for (size_t left = keep_alive_max_count_; left > 0; --left) {
        if (!nextRequestArrives(sock, ssl))
            return true;
        connection.head.clear();
        connection.headComplete = false;
        connection.arrived = std::chrono::steady_clock::now();
        bool closedByClient = false;
        if (!process_request(stream, left == 1, closedByClient,
                             [ssl](httplib::Request& request) { request.ssl = ssl; }))
            return false;
        if (closedByClient)
            return true;
    }
    return true;
}

bool HttpsServer::nextRequestArrives(socket_t sock, SSL* ssl) const {
    if (SSL_pending(ssl) > 0)
        return true;
    pollfd entries[] = {{sock, POLLIN, 0}, {m_stopEvent, POLLIN, 0}};
    int ready = 0;
    do {
        ready = poll(entries, 2, toMilliseconds(keep_alive_timeout_sec_, 0));
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && entries[1].revents == 0;
}

} // namespace kintonesim
