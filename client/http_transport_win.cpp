#include <windows.h>
#include <winhttp.h>

#include <array>
#include <charconv>
#include <string>

#include "client/http_transport.h"
#include "platform/scoped_generic.h"
#include "platform/text.h"

namespace tessaryndle::client {
namespace {

constexpr int CONNECT_TIMEOUT_MS = 30'000;
constexpr int STALL_TIMEOUT_MS = 60'000;
constexpr DWORD READ_BUFFER_BYTES = 64 * 1024;

// A WinHTTP handle, closed once on every path out.
struct InternetHandleTraits {
    static HINTERNET invalid() noexcept { return nullptr; }
    static void free(HINTERNET handle) noexcept { WinHttpCloseHandle(handle); }
};
using InternetHandle = platform::ScopedGeneric<HINTERNET, InternetHandleTraits>;

std::string describe(DWORD code) {
    switch (code) {
        case ERROR_WINHTTP_TIMEOUT: return "the server did not answer in time";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "the server's name could not be resolved";
        case ERROR_WINHTTP_CANNOT_CONNECT: return "could not connect to the server";
        case ERROR_WINHTTP_CONNECTION_ERROR: return "the connection was reset";
        case ERROR_WINHTTP_SECURE_FAILURE: return "the server's certificate is not trusted";
        case ERROR_WINHTTP_SECURE_INVALID_CA: return "the server's certificate is not issued by a trusted authority";
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return "the server's certificate does not name it";
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return "the server's certificate is not valid now";
        // Wine reports a certificate it does not trust this way.
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
            return "the secure connection failed (the server's certificate may not be trusted)";
        case ERROR_WINHTTP_INVALID_URL:
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return "the URL is not valid";
        default: return "WinHTTP error " + std::to_string(code);
    }
}

std::unexpected<UpdateError> failure(const std::string& url) {
    const DWORD code = GetLastError();
    return fail(UpdateError::network(describe(code) + " (" + url + ")"));
}

std::optional<std::wstring> header_text(HINTERNET request, DWORD query) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::nullopt;
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    text.resize(size / sizeof(wchar_t));
    return text;
}

std::optional<std::string> header_utf8(HINTERNET request, DWORD query) {
    const auto text = header_text(request, query);
    if (!text) return std::nullopt;
    return native_lossy(*text);
}

// The proxy as the system is configured (automatic detection and script
// included); where that access type is unknown (Windows before 8.1, Wine),
// the system's static proxy setting.
HINTERNET open_session() {
    HINTERNET session = WinHttpOpen(L"Tessaryndle-Updater/1", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session != nullptr) return session;
    return WinHttpOpen(L"Tessaryndle-Updater/1", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                       WINHTTP_NO_PROXY_BYPASS, 0);
}

}  // namespace

Result<TransferEnd> http_get(const std::string& url, std::optional<std::uint64_t> range_start, HttpReceiver& receiver,
                             const std::atomic<bool>* cancel) {
    const auto cancelled = [&] { return cancel != nullptr && cancel->load(); };
    const std::wstring wide_url = path_from_utf8(url).native();
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide_url.c_str(), 0, 0, &parts)) return failure(url);
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";

    const InternetHandle session(open_session());
    if (!session.valid()) return failure(url);
    WinHttpSetTimeouts(session.get(), 0, CONNECT_TIMEOUT_MS, STALL_TIMEOUT_MS, STALL_TIMEOUT_MS);
    const InternetHandle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (!connection.valid()) return failure(url);
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    const InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                    WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request.valid()) return failure(url);
    // Every address is judged by the caller, redirects included.
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    if (range_start) {
        const std::wstring range = L"Range: bytes=" + std::to_wstring(*range_start) + L"-";
        if (!WinHttpAddRequestHeaders(request.get(), range.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
            return failure(url);
        }
    }
    if (cancelled()) return fail(UpdateError::cancelled());
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return failure(url);
    }

    HttpResponseHead head;
    DWORD status = 0;
    DWORD status_size = sizeof status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX)) {
        return failure(url);
    }
    head.status = static_cast<int>(status);
    if (const auto length = header_utf8(request.get(), WINHTTP_QUERY_CONTENT_LENGTH)) {
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(length->data(), length->data() + length->size(), value);
        if (error == std::errc() && end == length->data() + length->size()) head.content_length = value;
    }
    head.content_range = header_utf8(request.get(), WINHTTP_QUERY_CONTENT_RANGE);
    head.location = header_utf8(request.get(), WINHTTP_QUERY_LOCATION);
    if (cancelled()) return fail(UpdateError::cancelled());
    if (!receiver.head(head)) return TransferEnd::Stopped;

    std::array<std::uint8_t, READ_BUFFER_BYTES> buffer{};
    std::uint64_t received = 0;
    for (;;) {
        if (cancelled()) return fail(UpdateError::cancelled());
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), READ_BUFFER_BYTES, &read)) return failure(url);
        if (read == 0) break;
        received += read;
        if (!receiver.body(std::span(buffer.data(), read))) return TransferEnd::Stopped;
    }
    // WinHTTP ends a body that the server cut short as if it were whole.
    if (head.content_length && received < *head.content_length) {
        return fail(UpdateError::network("the connection ended after " + std::to_string(received) + " of " +
                                         std::to_string(*head.content_length) + " bytes (" + url + ")"));
    }
    return TransferEnd::Complete;
}

}  // namespace tessaryndle::client
