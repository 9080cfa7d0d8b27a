#include "KintoneSimulator.h"

#include "Certificates.h"
#include "DataModel.h"
#include "HttpsServer.h"
#include "Router.h"

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace kintonesim {
namespace {

constexpr const char* host = "127.0.0.1";
// Enough that a few hung requests (each holding a worker) do not starve the others.
constexpr std::size_t workerThreads = 32;
// httplib closes a connection after 5 requests by default; a long paging chain must keep its connection.
constexpr std::size_t keepAliveRequests = 100000;

// A directory the simulator made for itself, removed with it.
class OwnedDirectory final {
public:
    explicit OwnedDirectory(std::filesystem::path path)
        : m_path(std::move(path)) {}
    ~OwnedDirectory() {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    OwnedDirectory(const OwnedDirectory&) = delete;
    OwnedDirectory& operator=(const OwnedDirectory&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

std::filesystem::path makeTemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "stampo-kintone-sim-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    return pattern;
}

void write(httplib::Response& response, Answer answer) {
    response.status = answer.status;
    response.body = std::move(answer.body);
    if (!answer.contentType.empty())
        response.set_header("Content-Type", answer.contentType);
}

// Announces the whole answer but sends only its first half, then fails so that httplib drops the connection.
void writeTruncated(httplib::Response& response, const Answer& answer) {
    response.status = answer.status;
    response.set_content_provider(answer.body.size(), answer.contentType,
                                  [body = answer.body](std::size_t, std::size_t, httplib::DataSink& sink) {
                                      sink.write(body.data(), body.size() / 2);
                                      return false;
                                  });
}

} // namespace

class KintoneSimulator::Impl final {
public:
    explicit Impl(SimulatorOptions options);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    std::uint16_t port() const { return m_port; }
    const std::filesystem::path& caFile() const { return m_caFile; }
    DataModel& data() { return m_data; }
    const DataModel& data() const { return m_data; }

    void addFault(FaultRule rule);
    void clearFaults();
    void releaseHangs();

    std::vector<RecordedRequest> requests() const;
    void clearRequests();
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    int connections() const { return m_server.acceptedConnections(); }
    int handshakes() const { return static_cast<int>(SSL_CTX_sess_accept_good(m_server.ssl_context())); }
    int resumedHandshakes() const { return static_cast<int>(SSL_CTX_sess_hits(m_server.ssl_context())); }

private:
    void serve(const httplib::Request& request, httplib::Response& response);
    void answer(const httplib::Request& request, const RecordedRequest& recorded, const std::optional<Fault>& fault,
                std::chrono::steady_clock::time_point arrived, std::unique_lock<std::mutex>& lock,
                httplib::Response& response);

    DataModel m_data;
    Router m_router;
    const OwnedDirectory m_ownedDirectory;
    const std::filesystem::path m_caFile;
    const Certificates m_certificates;
    HttpsServer m_server;
    std::uint16_t m_port = 0;
    std::thread m_listener;

    mutable std::mutex m_mutex;
    // Signalled when the server is ready, a request is recorded, hangs are released or the simulator stops.
    mutable std::condition_variable m_changed;
    bool m_ready = false;
    bool m_stopping = false;
    std::uint64_t m_hangReleases = 0;
    FaultPlan m_faults;
    std::vector<RecordedRequest> m_requests;
    std::vector<std::string> m_handled; // the queries of the requests handled since they were last cleared
};

KintoneSimulator::Impl::Impl(SimulatorOptions options)
    : m_data(options.sampleData ? sampleData() : Json::object())
    , m_router(std::move(options.authCodes), m_data)
    , m_ownedDirectory(options.certificateDirectory.empty() ? makeTemporaryDirectory() : std::filesystem::path())
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

    const httplib::Server::Handler handler = [this](const httplib::Request& request, httplib::Response& response) {
        serve(request, response);
    };
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
        m_changed.notify_all();
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
    m_changed.wait(lock, [this] { return m_ready; });
}

KintoneSimulator::Impl::~Impl() {
    {
        const std::scoped_lock lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_server.stopNow();
    m_listener.join();
}

void KintoneSimulator::Impl::addFault(FaultRule rule) {
    const std::scoped_lock lock(m_mutex);
    m_faults.add(std::move(rule));
}

void KintoneSimulator::Impl::clearFaults() {
    const std::scoped_lock lock(m_mutex);
    m_faults.clear();
}

void KintoneSimulator::Impl::releaseHangs() {
    {
        const std::scoped_lock lock(m_mutex);
        ++m_hangReleases;
    }
    m_changed.notify_all();
}

std::vector<RecordedRequest> KintoneSimulator::Impl::requests() const {
    const std::scoped_lock lock(m_mutex);
    return m_requests;
}

void KintoneSimulator::Impl::clearRequests() {
    const std::scoped_lock lock(m_mutex);
    m_requests.clear();
    m_handled.clear();
}

bool KintoneSimulator::Impl::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

void KintoneSimulator::Impl::serve(const httplib::Request& request, httplib::Response& response) {
    const auto arrived = HttpsServer::requestArrived();
    RecordedRequest recorded;
    recorded.method = request.method;
    const auto question = request.target.find('?');
    recorded.path = request.target.substr(0, question);
    recorded.query = question == std::string::npos ? "" : request.target.substr(question + 1);
    for (auto& [name, value] : HttpsServer::receivedHeaders())
        recorded.headers.emplace(std::move(name), std::move(value));
    recorded.body = request.body;
    recorded.remoteAddress = request.remote_addr;
    recorded.remotePort = request.remote_port;

    std::unique_lock lock(m_mutex);
    m_requests.push_back(recorded);
    m_changed.notify_all();
    const std::optional<Fault> fault = m_faults.match(recorded);
    if (fault && !fault->after.empty()) {
        m_changed.wait(lock, [&] {
            return m_stopping || std::ranges::any_of(m_handled, [&](const std::string& query) {
                       return query.find(fault->after) != std::string::npos;
                   });
        });
    }
    answer(request, recorded, fault, arrived, lock, response);
    lock.lock();
    m_handled.push_back(recorded.query);
    m_changed.notify_all();
}

// Called with the lock that recorded the request still held, so that a hang sees every release made after the request
// was seen arriving; returns with it released.
void KintoneSimulator::Impl::answer(const httplib::Request& request, const RecordedRequest& recorded,
                                    const std::optional<Fault>& fault, std::chrono::steady_clock::time_point arrived,
                                    std::unique_lock<std::mutex>& lock, httplib::Response& response) {
    if (fault) {
        switch (fault->kind) {
        case Fault::Kind::Answer:
            lock.unlock();
            write(response, {fault->status, fault->body, fault->contentType});
            return;
        case Fault::Kind::Delay: {
            // The answer is made while it is held back, so that the simulator's own work does not add to the delay.
            Answer answer = m_router.respond(recorded, request.params);
            m_changed.wait_until(lock, arrived + fault->delay, [this] { return m_stopping; });
            lock.unlock();
            write(response, std::move(answer));
            return;
        }
        case Fault::Kind::Hang: {
            const auto releases = m_hangReleases;
            m_changed.wait(lock, [&] { return m_stopping || m_hangReleases != releases; });
            lock.unlock();
            HttpsServer::cutConnection();
            return;
        }
        case Fault::Kind::Cut:
            lock.unlock();
            HttpsServer::cutConnection();
            return;
        case Fault::Kind::Drop: {
            const Answer answer = m_router.respond(recorded, request.params);
            lock.unlock();
            writeTruncated(response, answer);
            return;
        }
        }
    }
    Answer answer = m_router.respond(recorded, request.params);
    lock.unlock();
    write(response, std::move(answer));
}

KintoneSimulator::KintoneSimulator(SimulatorOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options))) {}

KintoneSimulator::~KintoneSimulator() = default;

std::uint16_t KintoneSimulator::port() const {
    return m_impl->port();
}
std::filesystem::path KintoneSimulator::caFile() const {
    return m_impl->caFile();
}
std::string KintoneSimulator::connectTo() const {
    return std::string(host) + ":" + std::to_string(port());
}

void KintoneSimulator::loadData(const Json& data) {
    m_impl->data().loadData(data);
}
int KintoneSimulator::addApp(const Json& properties) {
    return m_impl->data().addApp(properties);
}
void KintoneSimulator::setFormFields(int app, const Json& properties) {
    m_impl->data().setFormFields(app, properties);
}
int KintoneSimulator::addRecord(int app, const Json& record) {
    return m_impl->data().addRecord(app, record);
}
Json KintoneSimulator::record(int app, int id) const {
    return m_impl->data().record(app, id);
}
std::vector<Json> KintoneSimulator::records(int app) const {
    return m_impl->data().records(app);
}
void KintoneSimulator::setUsers(const Json& users) {
    m_impl->data().setUsers(users);
}
void KintoneSimulator::addUsers(int count) {
    m_impl->data().addUsers(count);
}
int KintoneSimulator::openCursors() const {
    return m_impl->data().openCursors();
}

void KintoneSimulator::addFault(FaultRule rule) {
    m_impl->addFault(std::move(rule));
}
void KintoneSimulator::clearFaults() {
    m_impl->clearFaults();
}
void KintoneSimulator::releaseHangs() {
    m_impl->releaseHangs();
}

std::vector<RecordedRequest> KintoneSimulator::requests() const {
    return m_impl->requests();
}

std::vector<RecordedRequest> KintoneSimulator::requests(const std::string& method, const std::string& path) const {
    auto all = m_impl->requests();
    std::erase_if(all, [&](const RecordedRequest& r) { return r.method != method || r.path != path; });
    return all;
}

void KintoneSimulator::clearRequests() {
    m_impl->clearRequests();
}

bool KintoneSimulator::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    return m_impl->waitForRequests(count, timeout);
}

int KintoneSimulator::connections() const {
    return m_impl->connections();
}
int KintoneSimulator::handshakes() const {
    return m_impl->handshakes();
}
int KintoneSimulator::resumedHandshakes() const {
    return m_impl->resumedHandshakes();
}

} // namespace kintonesim
