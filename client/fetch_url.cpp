#include "client/fetch_url.h"

#include <ada.h>

namespace tessaryndle::client {
namespace {

bool is_redirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool is_loopback_host(std::string_view host) {
    // ada serialises IPv4 hosts in dotted decimal and IPv6 hosts in brackets
    // in their shortest form.
    return host == "localhost" || host == "[::1]" || host.starts_with("127.");
}

// Passes the final answer through; a redirect's head is kept back and its
// body never read.
class RedirectReceiver final : public HttpReceiver {
public:
    explicit RedirectReceiver(HttpReceiver& target) : target_(target) {}

    bool head(const HttpResponseHead& head) override {
        if (is_redirect(head.status)) {
            redirected_ = true;
            location_ = head.location;
            return false;
        }
        return target_.head(head);
    }
    bool body(std::span<const std::uint8_t> bytes) override { return target_.body(bytes); }

    bool redirected_ = false;
    std::optional<std::string> location_;

private:
    HttpReceiver& target_;
};

Result<std::string> checked(const ada::result<ada::url_aggregator>& url, std::string_view text) {
    if (!url) return fail(UpdateError::network(std::string(text) + " is not an absolute URL"));
    const std::string_view scheme = url->get_protocol();
    if (scheme == "https:") return std::string(url->get_href());
    if (scheme == "http:") {
        if (is_loopback_host(url->get_hostname())) return std::string(url->get_href());
        return fail(UpdateError::network("plain HTTP is refused outside the loopback address: " + std::string(text)));
    }
    return fail(UpdateError::network("only HTTPS URLs can be fetched: " + std::string(text)));
}

}  // namespace

Result<std::string> check_fetch_url(std::string_view url) { return checked(ada::parse<ada::url_aggregator>(url), url); }

Result<TransferEnd> fetch(std::string_view url, std::optional<std::uint64_t> range_start, HttpReceiver& receiver,
                          const std::atomic<bool>* cancel) {
    auto current = check_fetch_url(url);
    if (!current) return fail(current.error());
    for (int redirects = 0;; ++redirects) {
        RedirectReceiver hop(receiver);
        auto ended = http_get(*current, range_start, hop, cancel);
        if (!ended || !hop.redirected_) return ended;
        if (!hop.location_) return fail(UpdateError::network("redirect without a Location from " + *current));
        if (redirects == MAX_REDIRECTS) {
            return fail(UpdateError::network("more than " + std::to_string(MAX_REDIRECTS) + " redirects from " +
                                             std::string(url)));
        }
        const auto base = ada::parse<ada::url_aggregator>(*current);
        auto next = checked(ada::parse<ada::url_aggregator>(*hop.location_, &*base), *hop.location_);
        if (!next) return fail(next.error());
        current = std::move(next);
    }
}

}  // namespace tessaryndle::client
