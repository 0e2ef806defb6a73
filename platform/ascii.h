#pragma once
// ASCII letter case and lowercase hexadecimal, written once: the rules about
// names, schemes and digests compare ASCII letters only, never by locale.

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tessaryndle::platform {

[[nodiscard]] constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
[[nodiscard]] constexpr char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

[[nodiscard]] inline std::string ascii_lowercase(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) c = ascii_lower(c);
    return lowered;
}

[[nodiscard]] constexpr bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

// Two lowercase hexadecimal digits per byte.
[[nodiscard]] inline std::string lowercase_hex(std::span<const std::uint8_t> bytes) {
    constexpr std::string_view digits = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0f]);
    }
    return text;
}

}  // namespace tessaryndle::platform
