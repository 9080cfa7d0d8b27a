#pragma once

#include "kintone/CurlHandles.h"
#include "kintone/CurlShare.h"
#include "kintone/HttpExchange.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace stampo {

class Transport;

// A transport session: one proxy configuration, one connection (curl handle) and a serial callback thread.
// Requests started on a session run one after another on its thread, each followed by its completion;
// a request started from inside a completion runs on the same thread once that completion has returned.
class Session final : public std::enable_shared_from_this<Session> {
public:
    using Completion = std::function<void(const HttpResponse&)>;

    Session(ProxySettings proxy, std::shared_ptr<const Transport> transport);

    // Queues the request. False when the session's thread could not be started; `completion` is then
    // never called. Otherwise it is called exactly once, on the session's thread.
    bool start(HttpRequest request, Completion completion);

private:
    struct Task {
        HttpRequest request;
        Completion completion;
    };

    void run();
    CURL* connection();

    const ProxySettings m_proxy;
    const std::shared_ptr<const Transport> m_transport;

    std::mutex m_mutex;
    std::deque<Task> m_tasks;
    bool m_running = false;
    CurlEasy m_handle;
};

} // namespace stampo
