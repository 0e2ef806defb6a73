// The release feed: its strict form, the order of semantic versions, and
// the application's verdict on a feed (signature first, then forward only).

#include <gtest/gtest.h>

#include <array>

#include "client/update_check.h"
#include "common/release_feed.h"
#include "common/semantic_version.h"
#include "tests/support/feed_fixture.h"

namespace tessaryndle {
namespace {

const std::string ARCHIVE = "PK archive bytes";

ReleaseFeed sample(std::string_view version = "2.0.0") {
    return test::feed_for(version, ARCHIVE, "https://updates.example/2.zip");
}

// The sample document with `from` replaced by `to` in its text.
std::string edited(std::string_view from, std::string_view to) {
    std::string text = release_feed_text(sample());
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

TEST(ReleaseFeed, ReadsWhatItWritesAndRefusesEverythingElse) {
    ReleaseFeed full = sample("2.0.0-rc.1+7");
    full.allow_downgrade = true;
    full.release_notes_url = "https://updates.example/notes";
    for (const ReleaseFeed& feed : {sample(), full}) {
        const auto read = parse_release_feed(release_feed_text(feed));
        ASSERT_TRUE(read) << read.error().display();
        EXPECT_EQ(release_feed_text(*read), release_feed_text(feed));
    }

    const struct {
        std::string name;
        std::string document;
        std::string error;
    } cases[] = {
        {"unknown key", edited("\"schema\": 1,", "\"schema\": 1, \"mirror\": \"x\","),
         "unknown field `mirror` at line 2 column 23"},
        {"unknown key in the artifact", edited("\"content_length\"", "\"size\": 1, \"content_length\""),
         "unknown field `size` at line 11 column 10"},
        {"duplicate key", edited("\"channel\": \"stable\"", "\"channel\": \"stable\", \"channel\": \"beta\""),
         "duplicate field `channel` at line 4 column 32"},
        {"missing key", edited("\"allow_downgrade\": false,", ""),
         "missing field `allow_downgrade` at line 15 column 1"},
        {"downgrade as text", edited("\"allow_downgrade\": false", "\"allow_downgrade\": \"no\""),
         "invalid type: string \"no\", expected a boolean at line 8 column 25"},
        {"array form", R"(["x"])", "invalid type: sequence, expected struct ReleaseFeed at line 1 column 0"},
        {"trailing data", release_feed_text(sample()) + "{}", "trailing characters at line 16 column 1"},
        {"schema 2", edited("\"schema\": 1", "\"schema\": 2"), "unsupported feed schema 2"},
        {"version with a leading zero", edited("\"2.0.0\"", "\"2.01.0\""), "version 2.01.0 is not a semantic version"},
        {"empty build", edited("\"build-2.0.0\"", "\"\""), "the build identifier is empty"},
        {"empty archive", edited("\"content_length\": 16", "\"content_length\": 0"),
         "the archive's content_length is 0"},
        {"upper-case digest", edited("\"sha256\": \"", "\"sha256\": \"A"),
         "the archive's sha256 is not 64 lower-case hexadecimal digits"},
        {"short signature", edited("\"ed25519_signature\": \"", "\"ed25519_signature\": \"AAAA"),
         "the archive's ed25519_signature is not Base64 of 64 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto read = parse_release_feed(c.document);
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error().display(), "the update feed is invalid: " + c.error);
    }

    const auto envelope = parse_signed_feed(R"({"feed": "{}", "signature": "s", "key": "k"})");
    ASSERT_FALSE(envelope);
    EXPECT_EQ(envelope.error().display(), "the update feed is invalid: unknown field `key` at line 1 column 38");
}

TEST(SemanticVersion, OrdersByPrecedenceAndRefusesOtherForms) {
    // Ascending, as semver.org lists them; build metadata does not count.
    const std::array ascending = {"1.0.0-alpha",
                                  "1.0.0-alpha.1",
                                  "1.0.0-alpha.beta",
                                  "1.0.0-beta",
                                  "1.0.0-beta.2",
                                  "1.0.0-beta.11",
                                  "1.0.0-rc.1",
                                  "1.0.0",
                                  "1.0.1",
                                  "1.2.0",
                                  "1.10.0",
                                  "2.0.0",
                                  "18446744073709551615.0.0"};
    for (std::size_t i = 0; i < ascending.size(); ++i) {
        for (std::size_t j = 0; j < ascending.size(); ++j) {
            SCOPED_TRACE(std::string(ascending[i]) + " vs " + ascending[j]);
            const auto a = parse_semantic_version(ascending[i]);
            const auto b = parse_semantic_version(ascending[j]);
            ASSERT_TRUE(a && b);
            EXPECT_EQ(compare_semantic_versions(*a, *b), i <=> j);
        }
    }
    EXPECT_TRUE(compare_semantic_versions(*parse_semantic_version("1.0.0+a"), *parse_semantic_version("1.0.0+b")) == 0);
    for (const char* text : {"", "1", "1.0", "1.0.0.0", "v1.0.0", "01.0.0", "1.0.0-", "1.0.0-01", "1.0.0+",
                             "1.0.0-a..b", "1.0.0-a_b", " 1.0.0", "18446744073709551616.0.0", "1.-1.0"}) {
        EXPECT_FALSE(parse_semantic_version(text)) << text;
    }
}

TEST(UpdateCheck, OffersOnlyASignedFeedOfThisChannelAndNeverGoesBackUnasked) {
    const client::UpdateChannel channel{"https://updates.example/stable.json", std::string(test::TEST_CHANNEL),
                                        std::string(test::TEST_PLATFORM), test::test_release_public_key()};
    const auto release_key = test::SigningKey::test_release();
    const auto other_key = test::SigningKey::generate();
    const auto with = [](ReleaseFeed feed, auto change) {
        change(feed);
        return feed;
    };
    const ReleaseFeed downgrade = with(sample("1.0.0"), [](ReleaseFeed& f) { f.allow_downgrade = true; });
    const struct {
        std::string name;
        std::string file;
        std::string running;
        std::string verdict;  // "offer", "downgrade", "up to date" or the error
    } cases[] = {
        {"newer", test::signed_feed_file(sample("2.0.0"), release_key), "1.9.9", "offer"},
        {"newer than a pre-release", test::signed_feed_file(sample("2.0.0"), release_key), "2.0.0-rc.2", "offer"},
        {"same version", test::signed_feed_file(sample("2.0.0"), release_key), "2.0.0+local", "up to date"},
        {"older", test::signed_feed_file(sample("1.0.0"), release_key), "2.0.0", "up to date"},
        {"older, going back allowed", test::signed_feed_file(downgrade, release_key), "2.0.0", "downgrade"},
        {"signed by another key", test::signed_feed_file(sample("9.0.0"), other_key), "1.0.0",
         "the update signature is invalid: the feed is not signed by the release key"},
        {"document changed after signing",
         [&] {
             std::string file = test::signed_feed_file(sample("2.0.0"), release_key);
             return file.replace(file.find("2.0.0"), 5, "9.0.0");
         }(),
         "1.0.0", "the update signature is invalid: the feed is not signed by the release key"},
        {"another channel",
         test::signed_feed_file(with(sample(), [](ReleaseFeed& f) { f.channel = "beta"; }), release_key), "1.0.0",
         "the update feed is invalid: the feed is for channel beta"},
        {"another platform",
         test::signed_feed_file(with(sample(), [](ReleaseFeed& f) { f.platform = "other"; }), release_key), "1.0.0",
         "the update feed is invalid: the feed is for platform other"},
        {"another application",
         test::signed_feed_file(with(sample(), [](ReleaseFeed& f) { f.application_id = "com.other"; }), release_key),
         "1.0.0", "the update feed is invalid: the feed is for application com.other"},
        {"running version not semantic", test::signed_feed_file(sample(), release_key), "1.0",
         "the update feed is invalid: the running version 1.0 is not a semantic version"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto check = client::evaluate_feed(c.file, channel, c.running);
        std::string verdict;
        if (!check) {
            verdict = check.error().display();
        } else if (check->up_to_date()) {
            verdict = "up to date";
        } else {
            verdict = check->offer->downgrade ? "downgrade" : "offer";
        }
        EXPECT_EQ(verdict, c.verdict);
    }
}

}  // namespace
}  // namespace tessaryndle
