#pragma once
// The release feed: the small signed document through which a release
// channel names its latest build, read by the application (client/) and
// written and checked by the release tool.
//
// A feed file is one JSON object of exactly two members:
//
//   {
//     "feed": "{\n  \"schema\": 1,\n  \"application_id\": ...}\n",
//     "signature": "<Base64 of 64 bytes>"
//   }
//
// "feed" holds the feed document as text, and "signature" is the Ed25519
// signature made with the release key over the UTF-8 bytes of that text,
// exactly as they are. The document travels as a string so that the bytes
// that were signed are the bytes that are checked: no reader has to
// reproduce a writer's spacing or key order. The document is read only
// after its signature was verified.
//
// Both levels, and the document's "artifact" record, are strict: a key the
// reader does not know, a key given twice, a missing key, a value of the
// wrong type, the array form and anything after the object are refused.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/update_error.h"

namespace tessaryndle {

inline constexpr std::uint32_t RELEASE_FEED_SCHEMA = 1;

// The archive of the offered build: what the install plan's "artifact"
// record carries, with the digest required.
struct FeedArtifact {
    std::string url;  // absolute URL of the archive
    std::uint64_t content_length = 0;
    std::string sha256;             // 64 lower-case hexadecimal digits
    std::string ed25519_signature;  // Base64, 88 characters: the release key over the whole archive
};

struct ReleaseFeed {
    std::uint32_t schema = RELEASE_FEED_SCHEMA;
    std::string application_id;  // the trusted application identifier
    std::string channel;         // e.g. "stable"; a feed answers for one channel
    std::string platform;        // as in the install plan, e.g. "windows-x86_64"
    std::string version;         // semantic version of the offered build
    std::string build;           // build identifier: names its directory in the installation
    // Whether an application running a later version should still install
    // this one. Absent from no feed: a channel that rolls back says so.
    bool allow_downgrade = false;
    FeedArtifact artifact;
    std::optional<std::string> release_notes_url;
};

// The feed file: the document's text and the signature over its bytes.
struct SignedFeed {
    std::string feed;
    std::string signature;  // Base64
};

// Reads a feed file's outer object. Failure: InvalidFeed with the reader's
// description and position ("unknown field `x` at line 2 column 7").
[[nodiscard]] Result<SignedFeed> parse_signed_feed(std::string_view bytes);

// Reads a feed document (the verified text of "feed") and checks its form:
// schema 1, a semantic "version", a non-empty "build", a non-zero
// "content_length", "sha256" as 64 lower-case hexadecimal digits and an
// "ed25519_signature" that is Base64 of 64 bytes. Failure: InvalidFeed with
// the reader's description, or with what is wrong ("version 2.x is not a
// semantic version"). The URLs are judged by whoever fetches them.
[[nodiscard]] Result<ReleaseFeed> parse_release_feed(std::string_view document);

// The document's text: JSON with two-space indentation, members in the
// order of ReleaseFeed, "release_notes_url" only when set, and a final line
// feed.
[[nodiscard]] std::string release_feed_text(const ReleaseFeed& feed);

// The feed file's text for `signed_feed`, two-space indentation and a final
// line feed.
[[nodiscard]] std::string signed_feed_text(const SignedFeed& signed_feed);

}  // namespace tessaryndle
