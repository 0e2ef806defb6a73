#include "tests/support/feed_fixture.h"

#include "common/constants.h"

namespace tessaryndle::test {

ReleaseFeed feed_for(std::string_view version, std::string_view archive_bytes, std::string url) {
    ReleaseFeed feed;
    feed.application_id = std::string(TRUSTED_APPLICATION_ID);
    feed.channel = std::string(TEST_CHANNEL);
    feed.platform = std::string(TEST_PLATFORM);
    feed.version = std::string(version);
    feed.build = "build-" + std::string(version);
    feed.artifact.url = std::move(url);
    feed.artifact.content_length = archive_bytes.size();
    feed.artifact.sha256 = sha256_hex(archive_bytes);
    feed.artifact.ed25519_signature = sign_release_bytes(archive_bytes);
    return feed;
}

std::string signed_feed_file(const ReleaseFeed& feed, const SigningKey& key) {
    const std::string document = release_feed_text(feed);
    return signed_feed_text({document, key.sign_base64(document)});
}

}  // namespace tessaryndle::test
