// The application unpacks the downloaded archive with the worker's own
// extraction: what the worker refuses is refused here, with its texts, and
// only the archive that was checked is unpacked.

#include <gtest/gtest.h>

#include "client/download.h"
#include "platform/files.h"
#include "platform/text.h"
#include "tests/support/feed_fixture.h"
#include "tests/support/test_support.h"
#include "tests/support/zip_writer.h"

namespace tessaryndle::client {
namespace {

namespace fs = std::filesystem;

test::ZipEntryFields entry(std::string name, std::string data = "MZ") {
    test::ZipEntryFields fields;
    fields.name = std::move(name);
    fields.data = std::move(data);
    return fields;
}

TEST(ClientUnpack, UnpacksOnlyTheCheckedArchiveAsTheWorkerWould) {
    const std::vector<test::ZipEntryFields> payload = {entry("build/tessaryndle-app.exe"),
                                                       entry("build/Tessaryndle.exe"),
                                                       entry("build/tessaryndle-updater-agent.exe")};
    auto with = [](std::vector<test::ZipEntryFields> entries, test::ZipEntryFields extra) {
        entries.push_back(std::move(extra));
        return entries;
    };
    const struct {
        std::string name;
        std::string archive;
        bool changed_after_download;
        std::string error;  // empty: unpacked
    } cases[] = {
        {"a sound payload", test::make_zip(payload), false, ""},
        {"an entry outside the staging directory", test::make_zip(with(payload, entry("../evil.txt"))), false,
         "the update artifact is invalid: archive contains unsafe path ../evil.txt"},
        {"no application", test::make_zip({entry("readme.txt")}), false,
         "failed to find the application inside {staging}"},
        {"changed after the download", test::make_zip(payload), true,
         "the update artifact is invalid: the download's SHA-256 digest does not match the feed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const test::TempDir dir;
        const UpdateSession session(dir.path(), "session");
        const fs::path archive = dir / "update.zip";
        test::write_file(archive, c.archive);
        const FeedArtifact artifact = test::feed_for("2.0.0", c.archive, "https://updates.example/u.zip").artifact;
        if (c.changed_after_download) test::write_file(archive, c.archive.substr(0, c.archive.size() - 1) + "!");
        // What an earlier attempt left behind never becomes part of the build.
        fs::create_directories(session.staging_directory() / "build");
        test::write_file(session.staging_directory() / "build" / "stale.dll", "old");

        const auto unpacked = unpack_update(session, archive, artifact, test::test_release_public_key());
        if (c.error.empty()) {
            ASSERT_TRUE(unpacked) << unpacked.error().display();
            EXPECT_EQ(*unpacked, session.staging_directory() / "build");
            EXPECT_EQ(test::read_file(*unpacked / "tessaryndle-app.exe"), "MZ");
            EXPECT_FALSE(platform::file_info_no_follow(*unpacked / "stale.dll"));
        } else {
            ASSERT_FALSE(unpacked);
            std::string expected = c.error;
            if (const auto at = expected.find("{staging}"); at != std::string::npos) {
                expected.replace(at, 9, tessaryndle::path_display(session.staging_directory()));
            }
            EXPECT_EQ(unpacked.error().display(), expected);
        }
    }
}

}  // namespace
}  // namespace tessaryndle::client
