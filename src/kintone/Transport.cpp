#include "kintone/Transport.h"

#include <chrono>

namespace stampo {

namespace {

struct AnswerBuffer {
    std::string* body;
    std::size_t limit;
    bool tooLarge = false;
};

size_t collectAnswer(char* data, size_t size, size_t count, void* userdata) {
    auto* buffer = static_cast<AnswerBuffer*>(userdata);
    const size_t bytes = size * count;
    if (buffer->body->size() + bytes > buffer->limit) {
        buffer->tooLarge = true;
        return 0; // makes libcurl abort the transfer
    }
    buffer->body->append(data, bytes);
    return bytes;
}

// Fails the transfer once no data has moved for the idle time-out. libcurl's own low-speed check averages over
// several seconds and so fires seconds late.
struct IdleWatch {
    std::chrono::steady_clock::duration limit;
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    curl_off_t received = 0;
    curl_off_t sent = 0;
    bool expired = false;
};

int watchIdle(void* userdata, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
    auto* watch = static_cast<IdleWatch*>(userdata);
    const auto now = std::chrono::steady_clock::now();
    if (received != watch->received || sent != watch->sent) {
        watch->received = received;
        watch->sent = sent;
        watch->lastActivity = now;
        return 0;
    }
    watch->expired = now - watch->lastActivity >= watch->limit;
    return watch->expired ? 1 : 0;
}

void appendTo(CurlSlist& list, const std::string& line) {
    if (curl_slist* grown = curl_slist_append(list.get(), line.c_str())) {
        (void)list.release();
        list.reset(grown);
    }
}

} // namespace

Transport::Transport(TransportOptions options)
    : m_options(std::move(options)) {
    ensureCurlInitialised();
}

HttpResponse Transport::perform(CURL* handle, const HttpRequest& request, const ProxySettings& proxy) const {
    HttpResponse response;
    curl_easy_reset(handle);

    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_options.connectTimeout.count()));
    IdleWatch idle{m_options.idleTimeout};
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &watchIdle);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &idle);
    if (m_share.handle())
        curl_easy_setopt(handle, CURLOPT_SHARE, m_share.handle());

    if (!m_options.caFile.empty()) {
        curl_easy_setopt(handle, CURLOPT_CAINFO, m_options.caFile.c_str());
        curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    }
    CurlSlist connectTo;
    if (!m_options.connectTo.empty()) {
        appendTo(connectTo, "::" + m_options.connectTo);
        curl_easy_setopt(handle, CURLOPT_CONNECT_TO, connectTo.get());
    }

    // An empty proxy text also keeps libcurl from taking a proxy from the environment.
    if (proxy.host.empty()) {
        curl_easy_setopt(handle, CURLOPT_PROXY, "");
    } else {
        const std::string address = proxy.host + ":" + proxy.port;
        curl_easy_setopt(handle, CURLOPT_PROXY, address.c_str());
        curl_easy_setopt(handle, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        curl_easy_setopt(handle, CURLOPT_NOPROXY, "");
        if (!proxy.user.empty()) {
            curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, proxy.user.c_str());
            curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, proxy.password.c_str());
        }
        response.viaProxy = true;
    }

    // libcurl would add "Accept: */*" and, for larger bodies, "Expect"; kintone gets only our headers.
    CurlSlist headers;
    for (const std::string& line : request.headers)
        appendTo(headers, line);
    if (request.body)
        appendTo(headers, "Accept:");
    appendTo(headers, "Expect:");
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());

    if (request.body) {
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body->data());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
        if (request.method != "POST")
            curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    } else if (request.method != "GET") {
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    AnswerBuffer buffer{&response.body, m_options.maxAnswerBytes};
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &collectAnswer);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &buffer);

    response.curlCode = curl_easy_perform(handle);
    if (idle.expired)
        response.curlCode = CURLE_OPERATION_TIMEDOUT;
    response.tooLarge = buffer.tooLarge;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
    curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &response.proxyStatus);

    // Nothing of this request may outlive it in the handle.
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(handle, CURLOPT_CONNECT_TO, nullptr);
    return response;
}

} // namespace stampo
