#pragma once
// Release feeds for tests: a feed document for an archive, and the signed
// feed file of a document, by the test release key or another.

#include <string>
#include <string_view>

#include "common/release_feed.h"
#include "tests/support/release_signing.h"

namespace tessaryndle::test {

inline constexpr std::string_view TEST_CHANNEL = "stable";
inline constexpr std::string_view TEST_PLATFORM = "test-platform";

// A feed of `version` for the archive `archive_bytes` served at `url`,
// channel TEST_CHANNEL, platform TEST_PLATFORM, signed by the test release
// key, no downgrade.
[[nodiscard]] ReleaseFeed feed_for(std::string_view version, std::string_view archive_bytes, std::string url);

// The feed file of `feed`, signed by `key`.
[[nodiscard]] std::string signed_feed_file(const ReleaseFeed& feed, const SigningKey& key);

}  // namespace tessaryndle::test
