#pragma once

#include <optional>
#include <string>
#include <vector>

namespace stampo {

// The HTTP proxy a session goes through; an empty host means none.
struct ProxySettings {
    std::string host;
    std::string port;
    std::string user;
    std::string password;
};

// One request as the transport sends it.
struct HttpRequest {
    std::string method; // "GET", "POST" or "PUT"
    std::string url;
    std::vector<std::string> headers; // "Name: value" lines
    std::optional<std::string> body;
};

// What the transport got back. `curlCode` 0 means an HTTP answer arrived whole.
struct HttpResponse {
    int curlCode = 0;
    long status = 0;
    long proxyStatus = 0; // the proxy's answer to CONNECT, 0 when there was none
    bool viaProxy = false;
    bool tooLarge = false; // the answer was cut off at the size limit
    std::string body;
};

} // namespace stampo
