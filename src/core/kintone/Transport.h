#pragma once

#include "kintone/CurlShare.h"
#include "kintone/HttpExchange.h"
#include "kintone/TransportOptions.h"

namespace stampo {

// Sends one HTTPS request on a libcurl easy handle, configured from the transport options and a proxy.
// Shared by all sessions of one client; holds the TLS session cache they share. `perform` is virtual so that the
// client's answer handling can be driven with answers made without a network.
class Transport {
public:
    explicit Transport(TransportOptions options);
    virtual ~Transport() = default;

    // Blocks until the request has ended; the handle keeps its connection for the next request.
    virtual HttpResponse perform(CURL* handle, const HttpRequest& request, const ProxySettings& proxy) const;

    const TransportOptions& options() const { return m_options; }

private:
    TransportOptions m_options;
    // Made by the first request, on whichever worker sends it.
    mutable CurlShare m_share;
};

} // namespace stampo
