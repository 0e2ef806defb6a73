#include "agent/privileged_session.h"

#include <gtest/gtest.h>

#include "common/constants.h"
#include "platform/text.h"
#include "tests/support/environment.h"
#include "tests/support/plan_fixture.h"
#include "tests/support/test_support.h"

namespace tessaryndle::agent {
namespace {

using test::TempDir;
using test::valid_plan;

// --- Removal of the privileged session directory --------------------------------

class PrivilegedSessionRemoval : public ::testing::Test {
protected:
    TempDir program_data;
    test::ScopedEnvironment variable{"PROGRAMDATA", path_display(program_data.path())};
    std::filesystem::path root = program_data / std::string(TRUSTED_APPLICATION_ID) / "Updater";

    // A session directory with a file in it; returns it.
    std::filesystem::path make_session(const std::filesystem::path& session) {
        std::filesystem::create_directories(session / "Extracted");
        test::write_file(session / "archive.zip", "zip");
        return session;
    }

    void remove_with_staging(const std::filesystem::path& staging) {
        InstallPlan plan = valid_plan(program_data.path());
        plan.staging_directory = staging;
        remove_privileged_session_directory(plan);
    }
};

TEST_F(PrivilegedSessionRemoval, RemovesADirectoryDirectlyInsideTheRoot) {
    const auto session = make_session(root / std::string(test::TEST_NONCE));
    remove_with_staging(session / "Extracted");
    EXPECT_FALSE(std::filesystem::exists(session));
    EXPECT_TRUE(std::filesystem::exists(root));
}

TEST_F(PrivilegedSessionRemoval, ComparesComponentsNotText) {
    const auto session = make_session(root / "s1");
    // Repeated separators and "." components name the same place.
    const std::string text = path_display(root) + "//./s1/Extracted";
    remove_with_staging(path_from_utf8(text));
    EXPECT_FALSE(std::filesystem::exists(session));
}

TEST_F(PrivilegedSessionRemoval, LeavesEverythingElseInPlace) {
    const auto elsewhere = make_session(program_data / "other" / "Updater" / "s1");
    const auto deeper = make_session(root / "a" / "s2");
    const auto cased = make_session(program_data / "COM.TESSARYNDLE.QM4-LINK" / "Updater" / "s3");
    const std::pair<std::string, std::filesystem::path> cases[] = {
        {"other application folder", elsewhere / "Extracted"},
        {"two levels below the root", deeper / "Extracted"},
        {"root itself as the session", root / "Extracted"},
        {"parent component", root / ".." / "Extracted"},
        {"name in other case", cased / "Extracted"},
        {"relative staging", std::filesystem::path("Updater") / "s1" / "Extracted"},
    };
    for (const auto& [name, staging] : cases) {
        SCOPED_TRACE(name);
        remove_with_staging(staging);
    }
    EXPECT_TRUE(std::filesystem::exists(elsewhere / "archive.zip"));
    EXPECT_TRUE(std::filesystem::exists(deeper / "archive.zip"));
    EXPECT_TRUE(std::filesystem::exists(cased / "archive.zip"));
    EXPECT_TRUE(std::filesystem::exists(root));
}

TEST_F(PrivilegedSessionRemoval, NothingIsRemovedWithoutProgramData) {
    const auto session = make_session(root / "s1");
    {
        test::ScopedEnvironment unset{"PROGRAMDATA", std::nullopt};
        remove_with_staging(session / "Extracted");
    }
    EXPECT_TRUE(std::filesystem::exists(session / "archive.zip"));
}

TEST_F(PrivilegedSessionRemoval, LinksInsideAreRemovedNotFollowed) {
    if (test::on_windows()) {
        GTEST_SKIP() << "links are tested natively";
    }
    TempDir outside;
    test::write_file(outside / "keep.txt", "keep");
    const auto session = make_session(root / "s1");
    std::filesystem::create_directory_symlink(outside.path(), session / "Extracted" / "link");
    remove_with_staging(session / "Extracted");
    EXPECT_FALSE(std::filesystem::exists(session));
    EXPECT_EQ(test::read_file(outside / "keep.txt"), "keep");
}

}  // namespace
}  // namespace tessaryndle::agent
