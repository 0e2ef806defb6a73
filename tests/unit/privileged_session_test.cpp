#include "agent/privileged_session.h"

#include <gtest/gtest.h>

#include "common/constants.h"
#include "platform/text.h"
#include "tests/support/directory_access.h"
#include "tests/support/environment.h"
#include "tests/support/plan_fixture.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace tessaryndle::agent {
namespace {

using test::TempDir;
using test::valid_plan;

// --- Creation of the privileged session directory --------------------------------

class PrivilegedSessionCreation : public ::testing::Test {
protected:
    TempDir program_data;
    test::ScopedEnvironment variable{"PROGRAMDATA", path_display(program_data.path())};
    InstallPlan plan = valid_plan(program_data.path());
    std::filesystem::path application = program_data / std::string(TRUSTED_APPLICATION_ID);
    std::filesystem::path updater = application / "Updater";
    std::filesystem::path session = updater / std::string(test::TEST_NONCE);

    std::string create() {
        auto made = create_privileged_session_directory(plan);
        if (!made) return made.error().display();
        EXPECT_EQ(made->directory, session);
        return "(created)";
    }

    // Each directory of the path lets only administrators and SYSTEM (root)
    // in, read back from the system.
    void expect_private() {
        const std::string_view expected =
            test::on_windows() ? test::PRIVATE_ACCESS_WINDOWS : test::PRIVATE_ACCESS_NATIVE;
        for (const auto& directory : {application, updater, session}) {
            SCOPED_TRACE(path_display(directory));
            EXPECT_EQ(test::directory_access(directory), expected);
        }
    }
};

TEST_F(PrivilegedSessionCreation, CreatesTheWholePathPrivate) {
    ASSERT_EQ(create(), "(created)");
    EXPECT_TRUE(std::filesystem::is_directory(session));
    EXPECT_TRUE(std::filesystem::is_empty(session));
    if (!test::file_security_is_kept()) {
        GTEST_SKIP() << "this file system keeps no owners or DACLs (Wine); read back: "
                     << test::directory_access(session);
    }
    expect_private();
}

// A second session in directories made by an earlier version that let
// users read them: the parents are made private, a left-over of the same
// nonce starts empty, and the session of a worker that ended without
// removing its own (nobody marks it in use) goes.
TEST_F(PrivilegedSessionCreation, ReusesTheParentsAndStartsTheSessionEmpty) {
    std::filesystem::create_directories(session / "Extracted" / "payload");
    test::write_file(session / "update.zip", "old copy");
    std::filesystem::create_directories(updater / "abandoned" / "Extracted");
    test::write_file(updater / "abandoned" / "update.zip", "left by a killed worker");
    std::filesystem::permissions(application, std::filesystem::perms(0755));
    std::filesystem::permissions(updater, std::filesystem::perms(0755));
    ASSERT_EQ(create(), "(created)");
    EXPECT_TRUE(std::filesystem::is_empty(session));
    EXPECT_FALSE(std::filesystem::exists(updater / "abandoned"));
    if (test::file_security_is_kept()) expect_private();

    // A plain file left under the session's name goes the same way.
    std::filesystem::remove(session);
    test::write_file(session, "a file");
    ASSERT_EQ(create(), "(created)");
    EXPECT_TRUE(std::filesystem::is_directory(session));
}

// The session of a worker still running keeps its mark and stays, as does
// what in Updater is no directory; once that worker has closed its mark,
// the next worker clears the directory it left.
TEST_F(PrivilegedSessionCreation, LeavesSessionsInUseAndClearsThemOnceAbandoned) {
    InstallPlan running = plan;
    running.nonce = std::string(test::TEST_NONCE.size(), 'r');
    auto held = create_privileged_session_directory(running);
    ASSERT_TRUE(held) << held.error().display();
    test::write_file(held->directory / "update.zip", "in use");
    test::write_file(updater / "stray.txt", "not a session");
    ASSERT_EQ(create(), "(created)");
    EXPECT_EQ(test::read_file(held->directory / "update.zip"), "in use");
    EXPECT_EQ(test::read_file(updater / "stray.txt"), "not a session");

    held->in_use.reset();
    ASSERT_EQ(create(), "(created)");
    EXPECT_FALSE(std::filesystem::exists(held->directory));
    EXPECT_TRUE(std::filesystem::is_directory(session));
}

TEST_F(PrivilegedSessionCreation, RefusesWhatIsNoDirectoryOfItsOwn) {
    const std::string unsafe = "installation failed: the privileged session directory is unsafe";
    std::filesystem::create_directories(application);
    test::write_file(updater, "a file where Updater belongs");
    EXPECT_EQ(create(), unsafe);
    EXPECT_EQ(test::read_file(updater), "a file where Updater belongs");
    std::filesystem::remove(updater);

    // A directory that someone else made (and could open up again later).
    if (test::on_windows()) return;  // Wine keeps no owners
    std::filesystem::create_directories(updater);
    test::RunOptions chown;
    chown.arguments = {test::native_args({"4242"})[0], updater.native()};
    if (test::run_program("/bin/chown", chown).exit_status != 0) GTEST_SKIP() << "only root gives directories away";
    EXPECT_EQ(create(), unsafe);
    EXPECT_FALSE(std::filesystem::exists(session));
    EXPECT_EQ(test::directory_access(updater).substr(0, 15), "owner: uid 4242");

    // PROGRAMDATA pointed at a folder of someone else's.
    std::filesystem::remove(updater);
    chown.arguments.back() = program_data.path().native();
    ASSERT_EQ(test::run_program("/bin/chown", chown).exit_status, 0);
    EXPECT_EQ(create(), unsafe);
    EXPECT_FALSE(std::filesystem::exists(updater));
}

TEST_F(PrivilegedSessionCreation, NeedsAnAbsoluteProgramData) {
    const std::optional<std::string> values[] = {std::nullopt, std::string("relative-program-data")};
    for (const auto& value : values) {
        SCOPED_TRACE(value.value_or("(unset)"));
        test::ScopedEnvironment changed{"PROGRAMDATA", value};
        EXPECT_EQ(create(), "installation failed: ProgramData is unavailable");
        EXPECT_FALSE(std::filesystem::exists("relative-program-data"));
    }
    EXPECT_TRUE(std::filesystem::is_empty(program_data.path()));
}

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
