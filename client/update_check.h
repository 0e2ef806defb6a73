#pragma once
// Asking a release channel whether there is an update: the signed feed is
// fetched, verified with the release key the application carries and
// compared with the running version.
//
//     const updater::UpdateChannel channel{"https://updates.example/stable.json", "stable",
//                                          "windows-x86_64", RELEASE_PUBLIC_KEY};
//     auto check = updater::check_for_update(channel, "1.4.2");
//     if (check && check->offer) { /* check->offer->release names the build */ }

#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "common/release_feed.h"
#include "common/update_error.h"

namespace tessaryndle::client {

// A feed file is small; anything larger is not one.
inline constexpr std::size_t MAX_FEED_BYTES = 64 * 1024;

struct UpdateChannel {
    std::string feed_url;    // https (plain http only to the loopback address)
    std::string channel;     // the feed must name this channel
    std::string platform;    // and this platform
    std::string public_key;  // the release key, Base64 of 32 bytes, as built into the agent
};

struct UpdateOffer {
    ReleaseFeed release;
    // The offered version is older than the running one: the feed allowed
    // going back ("allow_downgrade").
    bool downgrade = false;
};

struct UpdateCheck {
    std::optional<UpdateOffer> offer;  // nullopt: "up to date"
    [[nodiscard]] bool up_to_date() const { return !offer; }
};

// Judges the bytes of a feed file for an application running
// `running_version` (a semantic version):
// 1. the outer object is read strictly (parse_signed_feed);
// 2. "signature" must be the release key's Ed25519 signature over the bytes
//    of "feed": else InvalidSignature "the feed is not signed by the release
//    key" (or "the release public key is not Base64 of 32 bytes");
// 3. only then the document is read (parse_release_feed), and it must name
//    the trusted application, the channel and the platform: else InvalidFeed
//    "the feed is for application {id}", "the feed is for channel {c}" or
//    "the feed is for platform {p}";
// 4. a later version is offered; the same version, or an earlier one whose
//    feed does not allow going back, is "up to date" (so an old feed served
//    again never takes an application back). A running version that is not
//    a semantic version fails with InvalidFeed "the running version {v} is
//    not a semantic version".
[[nodiscard]] Result<UpdateCheck> evaluate_feed(std::string_view feed_file, const UpdateChannel& channel,
                                                std::string_view running_version);

// Fetches the feed at channel.feed_url (fetch(): redirects followed under
// the same rule; at most MAX_FEED_BYTES, an HTTP status other than 200
// fails with Network "HTTP status {n} from {url}") and evaluates it.
// `cancel` may be null.
[[nodiscard]] Result<UpdateCheck> check_for_update(const UpdateChannel& channel, std::string_view running_version,
                                                   const std::atomic<bool>* cancel = nullptr);

}  // namespace tessaryndle::client
