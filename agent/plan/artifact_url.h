#pragma once
// Why an artifact URL is not an absolute URL. The URL parser (ada) only says
// that parsing failed; the agent's message names the reason with one of the
// URL Standard's failure descriptions, derived from the input by the
// procedure documented at describe_url_failure.

#include <string_view>

namespace tessaryndle::agent {

inline constexpr std::string_view URL_EMPTY_HOST = "empty host";
inline constexpr std::string_view URL_INVALID_IDN = "invalid international domain name";
inline constexpr std::string_view URL_INVALID_PORT = "invalid port number";
inline constexpr std::string_view URL_INVALID_IPV4 = "invalid IPv4 address";
inline constexpr std::string_view URL_INVALID_IPV6 = "invalid IPv6 address";
inline constexpr std::string_view URL_INVALID_DOMAIN_CHARACTER = "invalid domain character";
inline constexpr std::string_view URL_RELATIVE_WITHOUT_BASE = "relative URL without a base";
// The last three cannot arise when parsing without a base URL and without
// setters; they complete the parser's set of descriptions.
inline constexpr std::string_view URL_RELATIVE_WITH_CANNOT_BE_A_BASE_BASE = "relative URL with a cannot-be-a-base base";
inline constexpr std::string_view URL_SET_HOST_ON_CANNOT_BE_A_BASE =
    "a cannot-be-a-base URL doesn\u2019t have a host to set";
inline constexpr std::string_view URL_TOO_LONG = "URLs more than 4 GB are not supported";

// The description of why `input`, which the URL parser refused as an
// absolute URL without a base, is not one. The procedure follows the URL
// Standard's basic parser to the one place where parsing can fail:
// 1. Longer than 4 GiB (the parser's limit): URL_TOO_LONG.
// 2. Leading and trailing C0 controls and spaces are trimmed, tabs and
//    newlines removed. Without a scheme (an ASCII letter, then letters,
//    digits, "+", "-", ".", then ":"): URL_RELATIVE_WITHOUT_BASE.
// 3. The authority is taken where the parser takes it: for special schemes
//    after any number of "/" and "\", for "file" after exactly two, for
//    other schemes after "//"; it ends at "/", "?", "#" (and "\" for special
//    schemes). Credentials up to the last "@" are dropped ("file" has none);
//    "@" followed by nothing is URL_EMPTY_HOST. Host and port are split at
//    the first ":" outside brackets ("file" has no port).
// 4. The host, checked with the URL parser's own host handling:
//    - empty: URL_EMPTY_HOST for special schemes other than "file" and
//      whenever a port follows;
//    - starting with "[": URL_INVALID_IPV6 unless it ends with "]" and the
//      parser accepts it as an IPv6 literal;
//    - other schemes (opaque host): URL_INVALID_DOMAIN_CHARACTER when it
//      holds a forbidden host code point;
//    - special schemes (domain): percent-decoded, then domain to ASCII
//      (ada's IDNA, skipped exactly where ada skips it): failure is
//      URL_INVALID_IDN; a forbidden domain code point in the result is
//      URL_INVALID_DOMAIN_CHARACTER; a result ending in a number that the
//      parser refuses is URL_INVALID_IPV4.
// 5. The port: anything but ASCII digits, or a value above 65535, is
//    URL_INVALID_PORT.
// 6. The parser refused something the steps above accept: the first
//    applicable description in the order host, then port cannot be named,
//    and URL_INVALID_DOMAIN_CHARACTER is returned (no such input is known).
[[nodiscard]] std::string_view describe_url_failure(std::string_view input);

}  // namespace tessaryndle::agent
