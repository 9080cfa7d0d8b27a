#include "kintone/Session.h"

#include "kintone/Transport.h"

namespace stampo {

Session::Session(ProxySettings proxy, std::shared_ptr<const Transport> transport)
    : m_proxy(std::move(proxy))
    , m_transport(std::move(transport)) {}

bool Session::start(HttpRequest request, Completion completion) {
    std::lock_guard lock(m_mutex);
    m_tasks.push_back({std::move(request), std::move(completion)});
    if (m_running)
        return true;
    m_running = m_transport->options().startThread([self = shared_from_this()] { self->run(); });
    if (!m_running)
        m_tasks.pop_back();
    return m_running;
}

CURL* Session::connection() {
    std::lock_guard lock(m_mutex);
    if (!m_handle) {
        if (const CurlLibrary* curl = CurlLibrary::instance())
            m_handle.reset(curl->easyInit());
    }
    return m_handle.get();
}

void Session::run() {
    for (;;) {
        Task task;
        {
            std::lock_guard lock(m_mutex);
            if (m_tasks.empty()) {
                m_running = false;
                return;
            }
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        HttpResponse response;
        if (CURL* handle = connection())
            response = m_transport->perform(handle, task.request, m_proxy);
        else
            response.curlCode = CURLE_FAILED_INIT;
        task.completion(response);
    }
}

} // namespace stampo
