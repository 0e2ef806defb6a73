#pragma once
// The one HTTP request the update check and the download need: a GET,
// optionally from a byte offset on, whose answer is handed over as it
// arrives. Windows: WinHTTP, part of the system; elsewhere libcurl. Both
// check server certificates against the system's trusted roots (natively
// OpenSSL's, which SSL_CERT_FILE and SSL_CERT_DIR may name) and use the
// proxy the system is configured with (WinHTTP's automatic proxy, or
// libcurl's proxy variables). Neither follows redirects: the caller judges
// every address (see fetch_url.h).

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/update_error.h"

namespace tessaryndle::client {

struct HttpResponseHead {
    int status = 0;
    std::optional<std::uint64_t> content_length;  // the Content-Length header, when the server sent one
    std::optional<std::string> content_range;     // the Content-Range header's value
    std::optional<std::string> location;          // the Location header's value
};

// What receives one answer. Returning false from either call stops the
// transfer at once.
class HttpReceiver {
public:
    virtual ~HttpReceiver() = default;
    // Once per answer, before its first body byte.
    virtual bool head(const HttpResponseHead& head) = 0;
    // The body, in pieces as they arrive.
    virtual bool body(std::span<const std::uint8_t> bytes) = 0;
};

enum class TransferEnd {
    Complete,  // the answer arrived whole, as far as the transport can tell
    Stopped,   // the receiver returned false
};

// GETs `url` (http or https; the caller has checked it) with
// "Range: bytes={range_start}-" when a start is given. `cancel` (may be
// null) is looked at between pieces, and natively also while the request
// waits for the server: when set the transfer stops with Cancelled. Connecting gives up after 30 seconds,
// and an answer that sends nothing for 60 seconds is abandoned. Failure:
// Network with the transport's description (an unreachable host, a
// certificate that is not trusted, a connection that ended before the
// announced length), or Cancelled.
[[nodiscard]] Result<TransferEnd> http_get(const std::string& url, std::optional<std::uint64_t> range_start,
                                           HttpReceiver& receiver, const std::atomic<bool>* cancel);

}  // namespace tessaryndle::client
