#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <string_view>

#include "client/http_transport.h"

namespace tessaryndle::client {
namespace {

constexpr long CONNECT_TIMEOUT_SECONDS = 30;
constexpr long STALL_SECONDS = 60;

struct EasyCloser {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListCloser {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

bool curl_ready() {
    // Once per process, before any thread could use libcurl.
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    return text;
}

bool header_named(std::string_view line, std::string_view name, std::string_view& value) {
    if (line.size() <= name.size() || line[name.size()] != ':') return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = line[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != name[i]) return false;
    }
    value = trimmed(line.substr(name.size() + 1));
    return true;
}

// One transfer's state, seen by libcurl's callbacks.
struct Transfer {
    CURL* curl = nullptr;
    HttpReceiver* receiver = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    HttpResponseHead head;
    bool head_sent = false;
    bool stopped = false;

    bool cancelled() const { return cancel != nullptr && cancel->load(); }

    bool send_head() {
        if (head_sent) return true;
        head_sent = true;
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        head.status = static_cast<int>(status);
        if (!receiver->head(head)) stopped = true;
        return !stopped;
    }
};

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::string_view line(data, size * count);
    std::string_view value;
    if (line.starts_with("HTTP/")) {
        transfer.head = {};  // a new answer begins (after an interim one)
    } else if (header_named(line, "content-length", value)) {
        std::uint64_t length = 0;
        bool digits = !value.empty();
        for (const char c : value) {
            if (c < '0' || c > '9' || length > (UINT64_MAX - 9) / 10) {
                digits = false;
                break;
            }
            length = length * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (digits) transfer.head.content_length = length;
    } else if (header_named(line, "content-range", value)) {
        transfer.head.content_range = std::string(value);
    } else if (header_named(line, "location", value)) {
        transfer.head.location = std::string(value);
    }
    return size * count;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (transfer.cancelled() || !transfer.send_head()) return 0;
    if (!transfer.receiver->body(std::span(reinterpret_cast<const std::uint8_t*>(data), size * count))) {
        transfer.stopped = true;
        return 0;
    }
    return size * count;
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(user)->cancelled() ? 1 : 0;
}

void set_certificate_store(CURL* curl) {
    // OpenSSL's own settings of the trusted roots, which libcurl's built-in
    // bundle path would otherwise hide.
    if (const char* file = std::getenv("SSL_CERT_FILE"); file != nullptr && *file != '\0') {
        curl_easy_setopt(curl, CURLOPT_CAINFO, file);
    }
    if (const char* directory = std::getenv("SSL_CERT_DIR"); directory != nullptr && *directory != '\0') {
        curl_easy_setopt(curl, CURLOPT_CAPATH, directory);
    }
}

}  // namespace

Result<TransferEnd> http_get(const std::string& url, std::optional<std::uint64_t> range_start, HttpReceiver& receiver,
                             const std::atomic<bool>* cancel) {
    if (!curl_ready()) return fail(UpdateError::network("libcurl could not be initialised"));
    const std::unique_ptr<CURL, EasyCloser> curl(curl_easy_init());
    if (!curl) return fail(UpdateError::network("libcurl could not be initialised"));
    Transfer transfer{curl.get(), &receiver, cancel, {}, false, false};
    char error_text[CURL_ERROR_SIZE] = {};
    std::unique_ptr<curl_slist, ListCloser> headers;
    if (range_start) {
        const std::string range = "Range: bytes=" + std::to_string(*range_start) + "-";
        headers.reset(curl_slist_append(nullptr, range.c_str()));
    }
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    set_certificate_store(c);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, CONNECT_TIMEOUT_SECONDS);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, STALL_SECONDS);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // The archive is compressed already and must arrive byte for byte.
    curl_easy_setopt(c, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
    if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());

    const CURLcode code = curl_easy_perform(c);
    if (transfer.cancelled()) return fail(UpdateError::cancelled());
    if (transfer.stopped) return TransferEnd::Stopped;
    if (code != CURLE_OK) {
        return fail(UpdateError::network(std::string(*error_text != '\0' ? error_text : curl_easy_strerror(code)) +
                                         " (" + url + ")"));
    }
    // An answer without a body (a redirect, an empty file) still has a head.
    if (!transfer.send_head()) return TransferEnd::Stopped;
    return TransferEnd::Complete;
}

}  // namespace tessaryndle::client
