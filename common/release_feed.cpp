#include "common/release_feed.h"

#include <algorithm>

#include "common/base64.h"
#include "common/json_records.h"
#include "common/semantic_version.h"

namespace tessaryndle {
namespace {

constexpr std::size_t SHA256_HEX_DIGITS = 64;
constexpr std::size_t ED25519_SIGNATURE_BYTES = 64;

constexpr json::FieldSpec SIGNED_FEED_FIELDS[] = {
    json::field<&SignedFeed::feed>("feed"),
    json::field<&SignedFeed::signature>("signature"),
};
constexpr json::RecordLayout<SignedFeed> SIGNED_FEED_LAYOUT{"SignedFeed", SIGNED_FEED_FIELDS,
                                                            json::UnknownKeys::Refuse};

constexpr json::FieldSpec ARTIFACT_FIELDS[] = {
    json::field<&FeedArtifact::url>("url"),
    json::field<&FeedArtifact::content_length>("content_length"),
    json::field<&FeedArtifact::sha256>("sha256"),
    json::field<&FeedArtifact::ed25519_signature>("ed25519_signature"),
};
constexpr json::RecordLayout<FeedArtifact> ARTIFACT_LAYOUT{"FeedArtifact", ARTIFACT_FIELDS, json::UnknownKeys::Refuse};

constexpr json::FieldSpec FEED_FIELDS[] = {
    json::field<&ReleaseFeed::schema>("schema"),
    json::field<&ReleaseFeed::application_id>("application_id"),
    json::field<&ReleaseFeed::channel>("channel"),
    json::field<&ReleaseFeed::platform>("platform"),
    json::field<&ReleaseFeed::version>("version"),
    json::field<&ReleaseFeed::build>("build"),
    json::field<&ReleaseFeed::allow_downgrade>("allow_downgrade"),
    json::field<&ReleaseFeed::artifact>("artifact", ARTIFACT_LAYOUT),
    json::field<&ReleaseFeed::release_notes_url>("release_notes_url"),
};
constexpr json::RecordLayout<ReleaseFeed> FEED_LAYOUT{"ReleaseFeed", FEED_FIELDS, json::UnknownKeys::Refuse};

// The reader's failures, shown as what they are: a feed that is not sound.
UpdateError as_invalid_feed(const UpdateError& error) {
    const JsonError* json_error = error.json_error();
    return UpdateError::invalid_feed(json_error != nullptr ? json_error->display() : error.payload_text());
}

bool lower_hex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

Result<SignedFeed> parse_signed_feed(std::string_view bytes) {
    auto signed_feed = json::read_record(bytes, SIGNED_FEED_LAYOUT);
    if (!signed_feed) return fail(as_invalid_feed(signed_feed.error()));
    return signed_feed;
}

Result<ReleaseFeed> parse_release_feed(std::string_view document) {
    auto feed = json::read_record(document, FEED_LAYOUT);
    if (!feed) return fail(as_invalid_feed(feed.error()));
    if (feed->schema != RELEASE_FEED_SCHEMA) {
        return fail(UpdateError::invalid_feed("unsupported feed schema " + std::to_string(feed->schema)));
    }
    if (!parse_semantic_version(feed->version)) {
        return fail(UpdateError::invalid_feed("version " + feed->version + " is not a semantic version"));
    }
    if (feed->build.empty()) return fail(UpdateError::invalid_feed("the build identifier is empty"));
    const FeedArtifact& artifact = feed->artifact;
    if (artifact.content_length == 0) return fail(UpdateError::invalid_feed("the archive's content_length is 0"));
    if (artifact.sha256.size() != SHA256_HEX_DIGITS || !lower_hex(artifact.sha256)) {
        return fail(UpdateError::invalid_feed("the archive's sha256 is not 64 lower-case hexadecimal digits"));
    }
    const auto signature = base64_decode(artifact.ed25519_signature);
    if (!signature || signature->size() != ED25519_SIGNATURE_BYTES) {
        return fail(UpdateError::invalid_feed("the archive's ed25519_signature is not Base64 of 64 bytes"));
    }
    return feed;
}

// Neither record holds a path, the one value without a certain text form,
// so writing cannot fail.
std::string release_feed_text(const ReleaseFeed& feed) {
    return json::write_record(feed, FEED_LAYOUT).value_or(std::string());
}

std::string signed_feed_text(const SignedFeed& signed_feed) {
    return json::write_record(signed_feed, SIGNED_FEED_LAYOUT).value_or(std::string());
}

}  // namespace tessaryndle
