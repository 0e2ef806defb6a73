#pragma once
// What the application's updater may fetch, and fetching it with redirects
// followed under the same rule at every step.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "client/http_transport.h"
#include "common/update_error.h"

namespace tessaryndle::client {

inline constexpr int MAX_REDIRECTS = 10;

// An absolute URL that may be fetched: https anywhere, plain http only to
// the loopback address (127.0.0.0/8, [::1] or "localhost"), where nothing
// crosses a network. Returns the URL as parsed and serialised. Failure:
// Network "{url} is not an absolute URL", "plain HTTP is refused outside
// the loopback address: {url}" or "only HTTPS URLs can be fetched: {url}".
[[nodiscard]] Result<std::string> check_fetch_url(std::string_view url);

// http_get of `url`, following redirects (301, 302, 303, 307, 308 with a
// Location) up to MAX_REDIRECTS times; every address, the first and each
// one redirected to, must pass check_fetch_url. The receiver sees only the
// final answer. Failure: those of check_fetch_url and http_get, Network
// "redirect without a Location from {url}", "more than 10 redirects from
// {url}".
[[nodiscard]] Result<TransferEnd> fetch(std::string_view url, std::optional<std::uint64_t> range_start,
                                        HttpReceiver& receiver, const std::atomic<bool>* cancel);

}  // namespace tessaryndle::client
