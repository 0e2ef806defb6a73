#pragma once
// Semantic versions (semver.org 2.0.0): the release feed's "version" and the
// running application's, compared in precedence order.

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaryndle {

struct SemanticVersion {
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    std::uint64_t patch = 0;
    // The dot-separated identifiers after "-", in order; empty for a release.
    std::vector<std::string> pre_release;
    // After "+"; kept for display only, it has no part in the order.
    std::string build_metadata;
};

// Parses "MAJOR.MINOR.PATCH[-PRE][+BUILD]" exactly as semver.org 2.0.0
// defines it: numbers without leading zeros (and at most 64 bits),
// identifiers of [0-9A-Za-z-] that are never empty, numeric pre-release
// identifiers without leading zeros. No "v" prefix, no space. nullopt for
// anything else.
[[nodiscard]] std::optional<SemanticVersion> parse_semantic_version(std::string_view text);

// Precedence: numbers compared numerically, a pre-release below its release,
// pre-release identifiers compared one by one (numeric below alphanumeric,
// numeric by value, alphanumeric in ASCII order, a shorter list below a
// longer one it begins). Build metadata is ignored, so 1.0.0+a and 1.0.0+b
// compare equal.
[[nodiscard]] std::strong_ordering compare_semantic_versions(const SemanticVersion& a, const SemanticVersion& b);

}  // namespace tessaryndle
