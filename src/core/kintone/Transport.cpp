#include "kintone/Transport.h"

#include "kintone/CurlHandles.h"
#include "net/DesktopProxy.h"

#include <charconv>
#include <chrono>
#include <type_traits>

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

void appendTo(const CurlLibrary& curl, CurlSlist& list, const std::string& line) {
    if (curl_slist* grown = curl.slistAppend(list.get(), line.c_str())) {
        (void)list.release();
        list.reset(grown);
    }
}

} // namespace

Transport::Transport(TransportOptions options)
    : m_options(std::move(options)) {}

HttpResponse Transport::perform(CURL* handle, const HttpRequest& request, const ProxySettings& proxy) const {
    // A handle exists only once libcurl has been loaded.
    const CurlLibrary& curl = *CurlLibrary::instance();
    // libcurl reads an option's value as a long, a curl_off_t or a pointer; its own checks of that cover only calls
    // of curl_easy_setopt by name.
    const auto setopt = [&curl, handle](CURLoption option, auto value) {
        using Value = decltype(value);
        static_assert(std::is_same_v<Value, long> || std::is_same_v<Value, curl_off_t> || std::is_pointer_v<Value> ||
                      std::is_null_pointer_v<Value>);
        curl.easySetopt(handle, option, value);
    };
    HttpResponse response;
    curl.easyReset(handle);

    setopt(CURLOPT_URL, request.url.c_str());
    setopt(CURLOPT_PROTOCOLS_STR, "https");
    setopt(CURLOPT_NOSIGNAL, 1L);
    setopt(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_options.connectTimeout.count()));
    IdleWatch idle{m_options.idleTimeout};
    setopt(CURLOPT_NOPROGRESS, 0L);
    setopt(CURLOPT_XFERINFOFUNCTION, &watchIdle);
    setopt(CURLOPT_XFERINFODATA, &idle);
    if (CURLSH* share = m_share.handle(curl))
        setopt(CURLOPT_SHARE, share);

    if (!m_options.caFile.empty()) {
        setopt(CURLOPT_CAINFO, m_options.caFile.c_str());
        setopt(CURLOPT_CAPATH, nullptr);
    }
    CurlSlist connectTo;
    if (!m_options.connectTo.empty()) {
        appendTo(curl, connectTo, "::" + m_options.connectTo);
        setopt(CURLOPT_CONNECT_TO, connectTo.get());
    }

    // Without a proxy of Stampo's own, the desktop's: the environment's (https_proxy, no_proxy), which libcurl follows
    // by itself, or else the desktop's settings. A configured proxy is the only one, and no_proxy cannot bypass it.
    // Host and port go apart, the scheme given, so that neither can be read as anything else (the client has checked
    // both).
    const std::string desktopProxy = proxy.host.empty() ? DesktopProxy::forUrl(request.url) : std::string();
    if (!desktopProxy.empty()) {
        setopt(CURLOPT_PROXY, desktopProxy.c_str());
        setopt(CURLOPT_NOPROXY, "");
        response.viaProxy = true;
    } else if (!proxy.host.empty()) {
        const std::string address = "http://" + proxy.host;
        long port = 0;
        std::from_chars(proxy.port.data(), proxy.port.data() + proxy.port.size(), port);
        setopt(CURLOPT_PROXY, address.c_str());
        setopt(CURLOPT_PROXYPORT, port);
        setopt(CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        setopt(CURLOPT_NOPROXY, "");
        if (!proxy.user.empty()) {
            setopt(CURLOPT_PROXYUSERNAME, proxy.user.c_str());
            setopt(CURLOPT_PROXYPASSWORD, proxy.password.c_str());
            // Whichever scheme the proxy asks for; libcurl takes the safest it offers, Basic only when it offers
            // nothing else, so the password goes in clear text only to a proxy that asks for it so.
            setopt(CURLOPT_PROXYAUTH,
                   static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST | CURLAUTH_NTLM | CURLAUTH_NEGOTIATE));
        }
        response.viaProxy = true;
    }

    // libcurl would add "Accept: */*" and, for larger bodies, "Expect"; kintone gets only our headers.
    CurlSlist headers;
    for (const std::string& line : request.headers)
        appendTo(curl, headers, line);
    if (request.body)
        appendTo(curl, headers, "Accept:");
    appendTo(curl, headers, "Expect:");
    setopt(CURLOPT_HTTPHEADER, headers.get());

    if (request.body) {
        setopt(CURLOPT_POSTFIELDS, request.body->data());
        setopt(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
        if (request.method != "POST")
            setopt(CURLOPT_CUSTOMREQUEST, request.method.c_str());
    } else if (request.method != "GET") {
        setopt(CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    AnswerBuffer buffer{&response.body, m_options.maxAnswerBytes};
    setopt(CURLOPT_WRITEFUNCTION, &collectAnswer);
    setopt(CURLOPT_WRITEDATA, &buffer);

    response.curlCode = curl.easyPerform(handle);
    if (idle.expired)
        response.curlCode = CURLE_OPERATION_TIMEDOUT;
    response.tooLarge = buffer.tooLarge;
    curl.easyGetinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
    curl.easyGetinfo(handle, CURLINFO_HTTP_CONNECTCODE, &response.proxyStatus);

    // Nothing of this request may outlive it in the handle.
    setopt(CURLOPT_HTTPHEADER, nullptr);
    setopt(CURLOPT_CONNECT_TO, nullptr);
    return response;
}

} // namespace stampo
