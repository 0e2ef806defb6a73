#include "client/update_check.h"

#include "client/fetch_url.h"
#include "client/release_signature.h"
#include "common/constants.h"
#include "common/semantic_version.h"

namespace tessaryndle::client {
namespace {

// Collects a small answer whole.
class FeedReceiver final : public HttpReceiver {
public:
    bool head(const HttpResponseHead& head) override {
        status = head.status;
        if (status != 200) return false;
        if (head.content_length && *head.content_length > MAX_FEED_BYTES) return too_large();
        return true;
    }
    bool body(std::span<const std::uint8_t> bytes) override {
        if (text.size() + bytes.size() > MAX_FEED_BYTES) return too_large();
        text.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return true;
    }

    int status = 0;
    bool oversized = false;
    std::string text;

private:
    bool too_large() {
        oversized = true;
        return false;
    }
};

}  // namespace

Result<UpdateCheck> evaluate_feed(std::string_view feed_file, const UpdateChannel& channel,
                                  std::string_view running_version) {
    const auto running = parse_semantic_version(running_version);
    if (!running) {
        return fail(UpdateError::invalid_feed("the running version " + std::string(running_version) +
                                              " is not a semantic version"));
    }
    // 1. The envelope, then the signature over the document's exact bytes;
    //    the document itself is read only once it is known to be ours.
    const auto signed_feed = parse_signed_feed(feed_file);
    if (!signed_feed) return fail(signed_feed.error());
    const auto* document = reinterpret_cast<const std::uint8_t*>(signed_feed->feed.data());
    if (auto verified = verify_release_signature(channel.public_key, signed_feed->signature,
                                                 std::span(document, signed_feed->feed.size()), "the feed");
        !verified) {
        return fail(verified.error());
    }
    auto release = parse_release_feed(signed_feed->feed);
    if (!release) return fail(release.error());

    // 2. A signed feed of another application, channel or platform is a
    //    real feed served at the wrong address: never an offer.
    if (release->application_id != TRUSTED_APPLICATION_ID) {
        return fail(UpdateError::invalid_feed("the feed is for application " + release->application_id));
    }
    if (release->channel != channel.channel) {
        return fail(UpdateError::invalid_feed("the feed is for channel " + release->channel));
    }
    if (release->platform != channel.platform) {
        return fail(UpdateError::invalid_feed("the feed is for platform " + release->platform));
    }

    // 3. Forward only, unless the feed itself says to go back.
    const auto offered = parse_semantic_version(release->version);
    const auto order = compare_semantic_versions(*offered, *running);
    if (order > 0) return UpdateCheck{UpdateOffer{std::move(*release), false}};
    if (order < 0 && release->allow_downgrade) return UpdateCheck{UpdateOffer{std::move(*release), true}};
    return UpdateCheck{};
}

Result<UpdateCheck> check_for_update(const UpdateChannel& channel, std::string_view running_version,
                                     const std::atomic<bool>* cancel) {
    FeedReceiver receiver;
    const auto ended = fetch(channel.feed_url, std::nullopt, receiver, cancel);
    if (!ended) return fail(ended.error());
    if (receiver.oversized) {
        return fail(UpdateError::invalid_feed("the feed is larger than " + std::to_string(MAX_FEED_BYTES) + " bytes"));
    }
    if (receiver.status != 200) {
        return fail(
            UpdateError::network("HTTP status " + std::to_string(receiver.status) + " from " + channel.feed_url));
    }
    return evaluate_feed(receiver.text, channel, running_version);
}

}  // namespace tessaryndle::client
