#include "KintoneSimulator.h"

#include "DataModel.h"
#include "LoopbackServer.h"
#include "RequestHandler.h"
#include "Router.h"

#include <utility>

namespace kintonesim {

// The simulator's parts, each built on the ones before it: the server comes last, as it serves at once.
class KintoneSimulator::Impl final {
public:
    explicit Impl(SimulatorOptions options)
        : data(options.sampleData ? sampleData() : Json::object())
        , router(std::move(options.authCodes), data)
        , handler(router)
        , server(options, [this](const httplib::Request& request, httplib::Response& response) {
            handler.serve(request, response);
        }) {}
    // Held requests are let go first, or the server would wait for them forever when it stops.
    ~Impl() { handler.stop(); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    DataModel data;
    Router router;
    RequestHandler handler;
    LoopbackServer server;
};

KintoneSimulator::KintoneSimulator(SimulatorOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options))) {}

KintoneSimulator::~KintoneSimulator() = default;

std::uint16_t KintoneSimulator::port() const {
    return m_impl->server.port();
}
std::filesystem::path KintoneSimulator::caFile() const {
    return m_impl->server.caFile();
}
std::string KintoneSimulator::connectTo() const {
    return m_impl->server.connectTo();
}

void KintoneSimulator::loadData(const Json& data) {
    m_impl->data.loadData(data);
}
int KintoneSimulator::addApp(const Json& properties) {
    return m_impl->data.addApp(properties);
}
void KintoneSimulator::setFormFields(int app, const Json& properties) {
    m_impl->data.setFormFields(app, properties);
}
int KintoneSimulator::addRecord(int app, const Json& record) {
    return m_impl->data.addRecord(app, record);
}
Json KintoneSimulator::record(int app, int id) const {
    return m_impl->data.record(app, id);
}
std::vector<Json> KintoneSimulator::records(int app) const {
    return m_impl->data.records(app);
}
void KintoneSimulator::setUsers(const Json& users) {
    m_impl->data.setUsers(users);
}
void KintoneSimulator::addUsers(int count) {
    m_impl->data.addUsers(count);
}
int KintoneSimulator::openCursors() const {
    return m_impl->data.openCursors();
}

void KintoneSimulator::addFault(FaultRule rule) {
    m_impl->handler.addFault(std::move(rule));
}
void KintoneSimulator::clearFaults() {
    m_impl->handler.clearFaults();
}
void KintoneSimulator::releaseHangs() {
    m_impl->handler.releaseHangs();
}

std::vector<RecordedRequest> KintoneSimulator::requests() const {
    return m_impl->handler.requests();
}

std::vector<RecordedRequest> KintoneSimulator::requests(const std::string& method, const std::string& path) const {
    auto all = m_impl->handler.requests();
    std::erase_if(all, [&](const RecordedRequest& r) { return r.method != method || r.path != path; });
    return all;
}

void KintoneSimulator::clearRequests() {
    m_impl->handler.clearRequests();
}

bool KintoneSimulator::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    return m_impl->handler.waitForRequests(count, timeout);
}

int KintoneSimulator::connections() const {
    return m_impl->server.connections();
}
int KintoneSimulator::handshakes() const {
    return m_impl->server.handshakes();
}
int KintoneSimulator::resumedHandshakes() const {
    return m_impl->server.resumedHandshakes();
}

} // namespace kintonesim
