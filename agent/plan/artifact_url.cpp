#include "agent/plan/artifact_url.h"

#include <ada.h>

#include <cstdint>
#include <limits>
#include <string>

#include "platform/ascii.h"

namespace tessaryndle::agent {
namespace {

bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ascii_hex(char c) { return is_ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
using platform::ascii_lower;

// The URL Standard's forbidden host code points.
bool is_forbidden_host_code_point(char c) {
    switch (c) {
        case '\0':
        case '\t':
        case '\n':
        case '\r':
        case ' ':
        case '#':
        case '/':
        case ':':
        case '<':
        case '>':
        case '?':
        case '@':
        case '[':
        case '\\':
        case ']':
        case '^':
        case '|': return true;
        default: return false;
    }
}

// The input as the basic parser sees it: leading and trailing C0 controls
// and spaces trimmed, tabs and newlines removed.
std::string preprocess(std::string_view input) {
    auto c0_or_space = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!input.empty() && c0_or_space(input.front())) {
        input.remove_prefix(1);
    }
    while (!input.empty() && c0_or_space(input.back())) {
        input.remove_suffix(1);
    }
    std::string out;
    for (const char c : input) {
        if (c != '\t' && c != '\n' && c != '\r') {
            out.push_back(c);
        }
    }
    return out;
}

// The URL Standard's "ends in a number": the last label (after dropping one
// empty trailing label) is all digits, or "0x"/"0X" and hex digits.
bool ends_in_a_number(std::string_view host) {
    if (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);
    }
    const auto dot = host.rfind('.');
    const std::string_view last = dot == std::string_view::npos ? host : host.substr(dot + 1);
    if (last.empty()) {
        return false;
    }
    bool digits = true;
    for (const char c : last) {
        digits = digits && is_ascii_digit(c);
    }
    if (digits) {
        return true;
    }
    if (last.size() >= 2 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X')) {
        for (const char c : last.substr(2)) {
            if (!is_ascii_hex(c)) {
                return false;
            }
        }
        return true;
    }
    return false;
}

bool accepted_as_http_host(std::string_view host) {
    return static_cast<bool>(ada::parse<ada::url_aggregator>("http://" + std::string(host) + "/"));
}

enum class SchemeKind { Special, File, Other };

// Step 4: the host's fault, or an empty view when the host is acceptable.
std::string_view host_failure(std::string_view host, SchemeKind kind, bool port_follows) {
    if (host.empty()) {
        return (kind == SchemeKind::Special || port_follows) ? URL_EMPTY_HOST : std::string_view{};
    }
    if (host.front() == '[') {
        if (host.back() != ']' || !accepted_as_http_host(host)) {
            return URL_INVALID_IPV6;
        }
        return {};
    }
    if (kind == SchemeKind::Other) {
        for (const char c : host) {
            if (is_forbidden_host_code_point(c)) {
                return URL_INVALID_DOMAIN_CHARACTER;
            }
        }
        return {};
    }
    // A domain. ada converts it to ASCII only when it holds a forbidden
    // domain code point (percent signs included), an upper-case letter or
    // "xn-"; otherwise it is taken as it is.
    bool upper = false;
    for (const char c : host) {
        upper = upper || (c >= 'A' && c <= 'Z');
    }
    std::string ascii(host);
    if (upper || ada::idna::contains_forbidden_domain_code_point(host) || host.find("xn-") != std::string_view::npos) {
        const auto percent = host.find('%');
        const std::string decoded =
            percent == std::string_view::npos ? std::string(host) : ada::unicode::percent_decode(host, percent);
        ascii = decoded.empty() ? std::string() : ada::idna::to_ascii(decoded);
        if (ascii.empty()) {
            return URL_INVALID_IDN;
        }
        if (ada::idna::contains_forbidden_domain_code_point(ascii)) {
            return URL_INVALID_DOMAIN_CHARACTER;
        }
    }
    if (ends_in_a_number(ascii) && !accepted_as_http_host(ascii)) {
        return URL_INVALID_IPV4;
    }
    return {};
}

// Step 5.
bool port_acceptable(std::string_view port) {
    std::uint32_t value = 0;
    for (const char c : port) {
        if (!is_ascii_digit(c)) {
            return false;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string_view describe_url_failure(std::string_view raw) {
    // Longer than the parser can hold.
    if (raw.size() > std::numeric_limits<std::uint32_t>::max()) {
        return URL_TOO_LONG;
    }
    // Trim controls and spaces, drop tabs and newlines, as the parser does.
    const std::string input = preprocess(raw);
    std::size_t colon = 0;
    if (input.empty() || !is_ascii_alpha(input[0])) {
        return URL_RELATIVE_WITHOUT_BASE;
    }
    while (colon < input.size() && input[colon] != ':') {
        const char c = input[colon];
        if (!is_ascii_alpha(c) && !is_ascii_digit(c) && c != '+' && c != '-' && c != '.') {
            return URL_RELATIVE_WITHOUT_BASE;
        }
        ++colon;
    }
    if (colon == input.size()) {
        return URL_RELATIVE_WITHOUT_BASE;
    }
    std::string scheme;
    for (const char c : std::string_view(input).substr(0, colon)) {
        scheme.push_back(ascii_lower(c));
    }
    const SchemeKind kind =
        scheme == "file" ? SchemeKind::File
        : (scheme == "http" || scheme == "https" || scheme == "ws" || scheme == "wss" || scheme == "ftp")
            ? SchemeKind::Special
            : SchemeKind::Other;
    std::string_view rest = std::string_view(input).substr(colon + 1);
    auto slash = [kind](char c) { return c == '/' || (kind != SchemeKind::Other && c == '\\'); };

    // Find the authority where the parser finds it.
    if (kind == SchemeKind::Special) {
        while (!rest.empty() && slash(rest.front())) {
            rest.remove_prefix(1);
        }
    } else if (rest.size() >= 2 && slash(rest[0]) && slash(rest[1])) {
        rest.remove_prefix(2);
    } else {
        // No authority: a path, which never fails to parse.
        return URL_INVALID_DOMAIN_CHARACTER;
    }
    std::size_t end = 0;
    while (end < rest.size() && !slash(rest[end]) && rest[end] != '?' && rest[end] != '#') {
        ++end;
    }
    std::string_view authority = rest.substr(0, end);
    if (kind == SchemeKind::File) {
        const bool drive_letter =
            authority.size() == 2 && is_ascii_alpha(authority[0]) && (authority[1] == ':' || authority[1] == '|');
        if (!drive_letter) {
            if (const auto failure = host_failure(authority, kind, false); !failure.empty()) {
                return failure;
            }
        }
        return URL_INVALID_DOMAIN_CHARACTER;
    }
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
        if (authority.empty()) {
            return URL_EMPTY_HOST;
        }
    }
    std::size_t split = 0;
    bool in_brackets = false;
    while (split < authority.size() && (authority[split] != ':' || in_brackets)) {
        if (authority[split] == '[') {
            in_brackets = true;
        } else if (authority[split] == ']') {
            in_brackets = false;
        }
        ++split;
    }
    const bool port_follows = split < authority.size();
    // The host, with the parser's own host rules.
    if (const auto failure = host_failure(authority.substr(0, split), kind, port_follows); !failure.empty()) {
        return failure;
    }
    // The port: digits only, at most 65535.
    if (port_follows && !port_acceptable(authority.substr(split + 1))) {
        return URL_INVALID_PORT;
    }
    // The parser refused something the checks above accept.
    return URL_INVALID_DOMAIN_CHARACTER;
}

}  // namespace tessaryndle::agent
