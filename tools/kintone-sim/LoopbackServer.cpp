#include "LoopbackServer.h"

#include "KintoneSimulator.h"

#include <fstream>
#include <stdexcept>
#include <utility>

namespace kintonesim {
namespace {

constexpr const char* host = "127.0.0.1";
// Enough that a few hung requests (each holding a worker) do not starve the others.
constexpr std::size_t workerThreads = 32;
// httplib closes a connection after 5 requests by default; a long paging chain must keep its connection.
constexpr std::size_t keepAliveRequests = 100000;

} // namespace

LoopbackServer::LoopbackServer(const SimulatorOptions& options, httplib::Server::Handler handler)
    : m_ownedDirectory(options.certificateDirectory.empty() ? makeTemporaryDirectory() : std::filesystem::path())
    , m_caFile((options.certificateDirectory.empty() ? m_ownedDirectory.path() : options.certificateDirectory) /
               "ca.pem")
    , m_certificates(options.certificateNames,
                     options.expiredCertificate ? Certificates::expiredValidity : Certificates::usualValidity)
    , m_server(m_certificates.serverCertificate(), m_certificates.serverKey()) {
    if (!m_server.is_valid())
        throw std::runtime_error("kintone simulator: the TLS context cannot be set up");
    SSL_CTX* context = m_server.ssl_context();
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A client that resumes its session must be able to, so that resumedHandshakes() sees it.
    static constexpr unsigned char sessionContext[] = "stampo-kintone-sim";
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_session_id_context(context, sessionContext, sizeof sessionContext - 1);

    std::filesystem::create_directories(m_caFile.parent_path());
    std::ofstream caOut(m_caFile, std::ios::binary | std::ios::trunc);
    caOut << m_certificates.caPem();
    caOut.close();
    if (!caOut)
        throw std::runtime_error("kintone simulator: cannot write " + m_caFile.string());

    m_server.Get(".*", handler).Post(".*", handler).Put(".*", handler).Patch(".*", handler);
    m_server.Delete(".*", handler).Options(".*", handler);
    m_server.set_keep_alive_max_count(keepAliveRequests);
    // httplib writes the head and the body of an answer separately; Nagle would hold the body back for an ACK.
    m_server.set_tcp_nodelay(true);
    // httplib makes its task queue on the listening thread once it is running: the sign that the server is ready.
    m_server.new_task_queue = [this] {
        {
            const std::scoped_lock lock(m_mutex);
            m_ready = true;
        }
        m_readyChanged.notify_all();
        return new httplib::ThreadPool(workerThreads);
    };

    const int port = options.port == 0 ? m_server.bind_to_any_port(host)
                                       : (m_server.bind_to_port(host, options.port) ? options.port : -1);
    if (port <= 0)
        throw std::runtime_error("kintone simulator: cannot listen on " + std::string(host) + ":" +
                                 std::to_string(options.port));
    m_port = static_cast<std::uint16_t>(port);
    m_listener = std::thread([this] { m_server.listen_after_bind(); });
    std::unique_lock lock(m_mutex);
    m_readyChanged.wait(lock, [this] { return m_ready; });
}

LoopbackServer::~LoopbackServer() {
    m_server.stopNow();
    m_listener.join();
}

std::string LoopbackServer::connectTo() const {
    return std::string(host) + ":" + std::to_string(m_port);
}

} // namespace kintonesim
