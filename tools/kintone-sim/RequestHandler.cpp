#include "RequestHandler.h"

#include "HttpsServer.h"

#include <algorithm>
#include <utility>

namespace kintonesim {
namespace {

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

RequestHandler::RequestHandler(Router& router)
    : m_router(router) {}

void RequestHandler::stop() {
    {
        const std::scoped_lock lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
}

void RequestHandler::addFault(FaultRule rule) {
    const std::scoped_lock lock(m_mutex);
    m_faults.add(std::move(rule));
}

void RequestHandler::clearFaults() {
    const std::scoped_lock lock(m_mutex);
    m_faults.clear();
}

void RequestHandler::releaseHangs() {
    {
        const std::scoped_lock lock(m_mutex);
        ++m_hangReleases;
    }
    m_changed.notify_all();
}

std::vector<RecordedRequest> RequestHandler::requests() const {
    const std::scoped_lock lock(m_mutex);
    return m_requests;
}

void RequestHandler::clearRequests() {
    const std::scoped_lock lock(m_mutex);
    m_requests.clear();
    m_handled.clear();
}

bool RequestHandler::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

void RequestHandler::serve(const httplib::Request& request, httplib::Response& response) {
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
void RequestHandler::answer(const httplib::Request& request, const RecordedRequest& recorded,
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

} // namespace kintonesim
