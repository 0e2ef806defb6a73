// The application's download and update check against a local server that
// gets things wrong on purpose: natively over libcurl, under Wine over
// WinHTTP (both on plain HTTP to the loopback address; HTTPS natively in
// https_test_posix.cpp).

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "client/download.h"
#include "client/update_check.h"
#include "platform/files.h"
#include "tests/support/feed_fixture.h"
#include "tests/support/test_support.h"
#include "tests/support/update_server.h"

namespace tessaryndle::client {
namespace {

namespace fs = std::filesystem;

// 300 KiB that no two positions repeat in a short window: a byte out of
// place shows.
std::string archive_bytes() {
    std::string bytes(300 * 1024, '\0');
    std::uint32_t x = 2463534242u;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return bytes;
}

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = test::running_update_server();
        name_ = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".zip";
        test::write_file(server_.root / name_, archive_);
        fs::create_directories(session_dir_);
    }
    void TearDown() override { std::filesystem::remove(server_.root / name_); }

    FeedArtifact artifact(std::string_view kind) const {
        return test::feed_for("2.0.0", archive_, server_.url(kind, name_)).artifact;
    }
    fs::path partial() const { return session_dir_ / std::string(PARTIAL_ARCHIVE_FILE_NAME); }
    fs::path archive() const { return session_dir_ / std::string(ARCHIVE_FILE_NAME); }

    // Downloads, recording every progress report.
    Result<fs::path> download(const FeedArtifact& record, std::shared_ptr<std::atomic<bool>> cancel = nullptr) {
        reports_.clear();
        DownloadOptions options;
        options.cancel = cancel;
        options.progress = [this, cancel](std::uint64_t received, std::uint64_t total) {
            reports_.push_back(received);
            EXPECT_EQ(total, archive_.size());
            EXPECT_LE(received, total);
            if (cancel && received > 0) cancel->store(true);
        };
        return download_update(session_, record, test::test_release_public_key(), options);
    }

    const std::string archive_ = archive_bytes();
    test::UpdateServer server_;
    std::string name_;
    test::TempDir dir_;
    fs::path session_dir_ = dir_ / "session";
    UpdateSession session_{session_dir_, "session"};
    std::vector<std::uint64_t> reports_;
};

TEST_F(DownloadTest, RefusesWhatTheServerGetsWrongAndDeletesIt) {
    const std::string more =
        "the update artifact is invalid: the server sent more than the 307200 bytes the feed names";
    const auto other_signature = [&] {
        FeedArtifact record = artifact("files");
        record.ed25519_signature = test::SigningKey::generate().sign_base64(archive_);
        return record;
    };
    const auto other_digest = [&] {
        FeedArtifact record = artifact("files");
        record.sha256 = test::sha256_hex("something else");
        return record;
    };
    const struct {
        std::string name;
        FeedArtifact record;
        std::string error;  // empty: the download succeeds
    } cases[] = {
        {"served whole", artifact("files"), ""},
        {"redirected on the loopback address", artifact("redirect"), ""},
        {"more bytes than the feed names", artifact("more"), more},
        {"announces more bytes", artifact("announce-more"), more},
        {"a shorter file", artifact("short"),
         "the update artifact is invalid: the download has 153600 bytes, the feed names 307200"},
        {"another digest", other_digest(),
         "the update artifact is invalid: the download's SHA-256 digest does not match the feed"},
        {"signed by another key", other_signature(),
         "the update signature is invalid: the downloaded archive is not signed by the release key"},
        {"redirected to plain HTTP", artifact("redirect-plain"),
         "network request failed: plain HTTP is refused outside the loopback address: "
         "http://updates.example.invalid/" +
             name_},
        {"not found", artifact("missing"),
         "network request failed: HTTP status 404 from " + server_.url("missing", name_)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto downloaded = download(c.record);
        if (c.error.empty()) {
            ASSERT_TRUE(downloaded) << downloaded.error().display();
            EXPECT_EQ(*downloaded, archive());
            EXPECT_EQ(test::read_file(archive()), archive_);
            EXPECT_EQ(reports_.back(), archive_.size());
            fs::remove(archive());
        } else {
            ASSERT_FALSE(downloaded);
            EXPECT_EQ(downloaded.error().display(), c.error);
            EXPECT_FALSE(platform::file_info_no_follow(archive()));
        }
        // Nothing is left to be resumed: what arrived was bad, or nothing did.
        EXPECT_FALSE(platform::file_info_no_follow(partial()));
    }
}

TEST_F(DownloadTest, ResumesWhereAnInterruptedDownloadStopped) {
    const std::uint64_t cut = 100'000;
    const struct {
        std::string name;
        std::string second;                       // how the server serves the second attempt
        std::optional<std::uint64_t> after_head;  // what the file holds once the answer began
        std::string error;                        // of the second attempt
    } cases[] = {
        {"range honoured", "files", cut, ""},
        {"range ignored: starts again", "ignore-range", 0, ""},
        {"another range: deleted", "bad-range", std::nullopt,
         "the update artifact is invalid: the server answered the range request from byte 100000 with bytes "
         "0-307199/307200"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto first = download(artifact("cut/" + std::to_string(cut)));
        ASSERT_FALSE(first);
        EXPECT_EQ(first.error().kind(), UpdateErrorKind::Network) << first.error().display();
        ASSERT_EQ(test::read_file(partial()), archive_.substr(0, cut));

        const auto second = download(artifact(c.second));
        ASSERT_FALSE(reports_.empty());
        EXPECT_EQ(reports_.front(), cut);
        EXPECT_EQ(reports_.size() > 1 ? std::optional(reports_[1]) : std::nullopt, c.after_head);
        if (c.error.empty()) {
            ASSERT_TRUE(second) << second.error().display();
            EXPECT_EQ(test::read_file(archive()), archive_);
            fs::remove(archive());
        } else {
            ASSERT_FALSE(second);
            EXPECT_EQ(second.error().display(), c.error);
        }
        EXPECT_FALSE(platform::file_info_no_follow(partial()));
    }

    // Cancelled after the first piece: the part stays, and the next call
    // finishes it.
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    const auto cancelled = download(artifact("slow"), cancel);
    ASSERT_FALSE(cancelled);
    EXPECT_EQ(cancelled.error().display(), "the update operation was cancelled");
    const std::uint64_t kept = fs::file_size(partial());
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, archive_.size());
    const auto finished = download(artifact("files"));
    ASSERT_TRUE(finished) << finished.error().display();
    EXPECT_EQ(reports_.front(), kept);
    EXPECT_EQ(test::read_file(archive()), archive_);
}

TEST_F(DownloadTest, UpdateCheckFetchesTheFeedOverTheTransport) {
    const auto key = test::SigningKey::test_release();
    const auto serve_feed = [&](const std::string& name, std::string_view version) {
        test::write_file(server_.root / name,
                         test::signed_feed_file(test::feed_for(version, archive_, server_.url("files", name_)), key));
        return UpdateChannel{server_.url("files", name), std::string(test::TEST_CHANNEL),
                             std::string(test::TEST_PLATFORM), test::test_release_public_key()};
    };
    const auto newer = check_for_update(serve_feed("newer.json", "2.0.0"), "1.0.0");
    ASSERT_TRUE(newer) << newer.error().display();
    ASSERT_TRUE(newer->offer);
    EXPECT_EQ(newer->offer->release.version, "2.0.0");
    // What the feed offers downloads as it is.
    ASSERT_TRUE(download(newer->offer->release.artifact));

    const auto older = check_for_update(serve_feed("older.json", "0.9.0"), "1.0.0");
    ASSERT_TRUE(older) << older.error().display();
    EXPECT_TRUE(older->up_to_date());

    UpdateChannel plain = serve_feed("plain.json", "2.0.0");
    plain.feed_url = server_.url("redirect-plain", "plain.json");
    const auto refused = check_for_update(plain, "1.0.0");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().display(),
              "network request failed: plain HTTP is refused outside the loopback address: "
              "http://updates.example.invalid/plain.json");
    for (const char* name : {"newer.json", "older.json", "plain.json"}) fs::remove(server_.root / name);
}

}  // namespace
}  // namespace tessaryndle::client
