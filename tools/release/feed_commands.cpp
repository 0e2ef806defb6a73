#include "tools/release/feed_commands.h"

#include <span>
#include <string_view>
#include <utility>

#include "agent/plan/plan.h"
#include "agent/verification/ed25519.h"
#include "common/base64.h"
#include "common/constants.h"
#include "common/release_feed.h"
#include "common/semantic_version.h"
#include "platform/files.h"
#include "tools/release/archive_commands.h"

namespace tessaryndle::release {
namespace {

namespace fs = std::filesystem;

// The feed document of a feed file, once its signature by `public_key` holds.
std::expected<ReleaseFeed, Failure> verified_feed(std::string_view bytes, std::string_view public_key) {
    const auto signed_feed = parse_signed_feed(bytes);
    if (!signed_feed) return std::unexpected(signed_feed.error().display());
    const auto key = base64_decode(public_key);
    if (!key || key->size() != agent::ED25519_PUBLIC_KEY_BYTES) {
        return std::unexpected("--public-key takes Base64 of 32 bytes (44 characters)");
    }
    const auto signature = base64_decode(signed_feed->signature);
    if (!signature || signature->size() != agent::ED25519_SIGNATURE_BYTES) {
        return std::unexpected(
            UpdateError::invalid_signature("the feed signature is not Base64 of 64 bytes").display());
    }
    const auto* document = reinterpret_cast<const std::uint8_t*>(signed_feed->feed.data());
    const auto verified = agent::ed25519_verify_strict(std::span<const std::uint8_t, 32>(key->data(), 32),
                                                       std::span<const std::uint8_t, 64>(signature->data(), 64),
                                                       std::span(document, signed_feed->feed.size()));
    if (!verified) {
        return std::unexpected(
            UpdateError::invalid_signature("the feed is not signed by this key: " + std::string(verified.error()))
                .display());
    }
    auto feed = parse_release_feed(signed_feed->feed);
    if (!feed) return std::unexpected(feed.error().display());
    return std::move(*feed);
}

}  // namespace

// publish ARCHIVE --key FILE --url URL --version V --build B --platform P --channel C --out FEED
//         [--release-notes URL] [--allow-downgrade]
std::expected<void, Failure> publish(const Arguments& arguments, ToolOutput& output) {
    const fs::path archive(arguments.operands[0]);
    const auto key_file = required_path(arguments, "--key");
    if (!key_file) return std::unexpected(key_file.error());
    const auto out = required_path(arguments, "--out");
    if (!out) return std::unexpected(out.error());
    ReleaseFeed feed;
    feed.application_id = std::string(TRUSTED_APPLICATION_ID);
    feed.allow_downgrade = arguments.flags.contains("--allow-downgrade");
    feed.release_notes_url = optional_text(arguments, "--release-notes");
    for (const auto& [name, slot] : {std::pair{"--url", &feed.artifact.url}, std::pair{"--version", &feed.version},
                                     std::pair{"--build", &feed.build}, std::pair{"--platform", &feed.platform},
                                     std::pair{"--channel", &feed.channel}}) {
        auto value = required_option(arguments, name);
        if (!value) return std::unexpected(value.error());
        *slot = std::move(*value);
    }
    if (!parse_semantic_version(feed.version)) {
        return std::unexpected("--version takes a semantic version such as 2.1.0, not " + feed.version);
    }
    if (feed.release_notes_url) {
        const auto parsed = agent::validate_artifact_url({*feed.release_notes_url, 0, {}, {}});
        if (!parsed) return std::unexpected("--release-notes: " + parsed.error().display());
    }
    const auto key = read_key_file(*key_file);
    if (!key) return std::unexpected(key.error());

    // 1. The archive, checked and signed exactly as sign does.
    const auto artifact = signed_artifact(archive, *key, feed.artifact.url);
    if (!artifact) return std::unexpected(artifact.error());
    feed.artifact.url = artifact->url;
    feed.artifact.content_length = artifact->content_length;
    feed.artifact.sha256 = *artifact->sha256;
    feed.artifact.ed25519_signature = artifact->ed25519_signature;

    // 2. The document, signed over its exact bytes.
    const std::string document = release_feed_text(feed);
    const SignedFeed signed_feed{
        document, key->sign(std::span(reinterpret_cast<const std::uint8_t*>(document.data()), document.size()))};
    const std::string text = signed_feed_text(signed_feed);

    // 3. What applications will read must pass their checks before a
    //    server can serve it.
    if (auto checked = verified_feed(text, key->public_key_text()); !checked) return std::unexpected(checked.error());

    // 4. Replaced whole: a web server serving FEED meanwhile serves the old
    //    feed or the new one, never a part.
    fs::path temporary = *out;
    temporary += ".new";
    const auto replaced = platform::replace_file_contents(*out, temporary, text, platform::ExistingTemporary::Remove,
                                                          platform::RenameKind::Ordinary);
    if (!replaced) {
        const auto& failure = replaced.error();
        return std::unexpected(
            UpdateError::io(failure.stage == platform::ReplaceFailure::Stage::Temporary ? temporary : *out,
                            failure.error)
                .display());
    }
    output.out += document;
    return {};
}

// check-feed FEED --public-key TEXT
std::expected<void, Failure> check_feed(const Arguments& arguments, ToolOutput& output) {
    const fs::path file(arguments.operands[0]);
    const auto public_key = required_option(arguments, "--public-key");
    if (!public_key) return std::unexpected(public_key.error());
    const auto bytes = platform::read_whole_file(file);
    if (!bytes) return std::unexpected(UpdateError::io(file, bytes.error()).display());
    const auto feed = verified_feed(*bytes, *public_key);
    if (!feed) return std::unexpected(feed.error());
    output.out += "application_id: " + feed->application_id + "\n";
    output.out += "channel: " + feed->channel + "\n";
    output.out += "platform: " + feed->platform + "\n";
    output.out += "version: " + feed->version + "\n";
    output.out += "build: " + feed->build + "\n";
    output.out += std::string("allow_downgrade: ") + (feed->allow_downgrade ? "true" : "false") + "\n";
    output.out += "url: " + feed->artifact.url + "\n";
    output.out += "content_length: " + std::to_string(feed->artifact.content_length) + "\n";
    output.out += "sha256: " + feed->artifact.sha256 + "\n";
    output.out += "ed25519_signature: " + feed->artifact.ed25519_signature + "\n";
    if (feed->release_notes_url) output.out += "release_notes_url: " + *feed->release_notes_url + "\n";
    return {};
}

}  // namespace tessaryndle::release
