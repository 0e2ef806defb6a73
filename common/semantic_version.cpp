#include "common/semantic_version.h"

#include <algorithm>
#include <charconv>
#include <tuple>

namespace tessaryndle {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_identifier_character(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
}

bool all_digits(std::string_view text) { return std::all_of(text.begin(), text.end(), is_digit); }

// A numeric identifier: digits only, "0" or no leading zero, fits 64 bits.
std::optional<std::uint64_t> parse_number(std::string_view text) {
    if (text.empty() || !all_digits(text) || (text.size() > 1 && text.front() == '0')) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::vector<std::string_view> split_dots(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto dot = text.find('.');
        parts.push_back(text.substr(0, dot));
        if (dot == std::string_view::npos) return parts;
        text.remove_prefix(dot + 1);
    }
}

bool valid_identifiers(std::string_view text, bool numeric_must_be_canonical) {
    for (const std::string_view part : split_dots(text)) {
        if (part.empty() || !std::all_of(part.begin(), part.end(), is_identifier_character)) return false;
        if (numeric_must_be_canonical && all_digits(part) && part.size() > 1 && part.front() == '0') return false;
    }
    return true;
}

std::strong_ordering compare_identifiers(std::string_view a, std::string_view b) {
    const bool a_numeric = all_digits(a);
    const bool b_numeric = all_digits(b);
    if (a_numeric && b_numeric) {
        // Canonical digits: the longer is the larger, equal lengths compare as text.
        if (a.size() != b.size()) return a.size() <=> b.size();
        return a.compare(b) <=> 0;
    }
    if (a_numeric != b_numeric) return a_numeric ? std::strong_ordering::less : std::strong_ordering::greater;
    return a.compare(b) <=> 0;
}

}  // namespace

std::optional<SemanticVersion> parse_semantic_version(std::string_view text) {
    SemanticVersion version;
    if (const auto plus = text.find('+'); plus != std::string_view::npos) {
        const std::string_view metadata = text.substr(plus + 1);
        if (!valid_identifiers(metadata, false)) return std::nullopt;
        version.build_metadata = std::string(metadata);
        text = text.substr(0, plus);
    }
    if (const auto minus = text.find('-'); minus != std::string_view::npos) {
        const std::string_view pre = text.substr(minus + 1);
        if (!valid_identifiers(pre, true)) return std::nullopt;
        for (const std::string_view part : split_dots(pre)) version.pre_release.emplace_back(part);
        text = text.substr(0, minus);
    }
    const auto core = split_dots(text);
    if (core.size() != 3) return std::nullopt;
    const auto major = parse_number(core[0]);
    const auto minor = parse_number(core[1]);
    const auto patch = parse_number(core[2]);
    if (!major || !minor || !patch) return std::nullopt;
    version.major = *major;
    version.minor = *minor;
    version.patch = *patch;
    return version;
}

std::strong_ordering compare_semantic_versions(const SemanticVersion& a, const SemanticVersion& b) {
    if (const auto order = std::tie(a.major, a.minor, a.patch) <=> std::tie(b.major, b.minor, b.patch); order != 0) {
        return order;
    }
    // A release ranks above any of its pre-releases.
    if (a.pre_release.empty() && b.pre_release.empty()) return std::strong_ordering::equal;
    if (a.pre_release.empty()) return std::strong_ordering::greater;
    if (b.pre_release.empty()) return std::strong_ordering::less;
    const std::size_t common = std::min(a.pre_release.size(), b.pre_release.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (const auto order = compare_identifiers(a.pre_release[i], b.pre_release[i]); order != 0) return order;
    }
    return a.pre_release.size() <=> b.pre_release.size();
}

}  // namespace tessaryndle
