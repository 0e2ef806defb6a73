// The release feed, as a feed file and as the document inside one: neither
// reader accepts what the strict rules refuse, and whatever they accept is
// written back and read again as the same value.

#include <cstddef>
#include <cstdint>

#include "common/release_feed.h"
#include "common/semantic_version.h"
#include "fuzz/support/property.h"

namespace {

using tessaryndle::ReleaseFeed;

bool same(const ReleaseFeed& a, const ReleaseFeed& b) {
    return a.schema == b.schema && a.application_id == b.application_id && a.channel == b.channel &&
           a.platform == b.platform && a.version == b.version && a.build == b.build &&
           a.allow_downgrade == b.allow_downgrade && a.artifact.url == b.artifact.url &&
           a.artifact.content_length == b.artifact.content_length && a.artifact.sha256 == b.artifact.sha256 &&
           a.artifact.ed25519_signature == b.artifact.ed25519_signature && a.release_notes_url == b.release_notes_url;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = tessaryndle::fuzz::as_text(data, size);

    if (const auto signed_feed = tessaryndle::parse_signed_feed(text)) {
        const auto again = tessaryndle::parse_signed_feed(tessaryndle::signed_feed_text(*signed_feed));
        FUZZ_CHECK(again.has_value() && again->feed == signed_feed->feed && again->signature == signed_feed->signature);
    }

    const auto feed = tessaryndle::parse_release_feed(text);
    if (!feed) return 0;
    // What the document promises its readers.
    const auto version = tessaryndle::parse_semantic_version(feed->version);
    FUZZ_CHECK(version.has_value());
    FUZZ_CHECK(tessaryndle::compare_semantic_versions(*version, *version) == 0);
    FUZZ_CHECK(feed->schema == tessaryndle::RELEASE_FEED_SCHEMA && !feed->build.empty());
    FUZZ_CHECK(feed->artifact.content_length > 0 && feed->artifact.sha256.size() == 64);
    const auto again = tessaryndle::parse_release_feed(tessaryndle::release_feed_text(*feed));
    FUZZ_CHECK(again.has_value() && same(*again, *feed));
    return 0;
}
