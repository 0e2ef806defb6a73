#include "agent/installation/privileged_session.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "common/constants.h"
#include "platform/text.h"
#include "tests/support/directory_access.h"
#include "tests/support/environment.h"
#include "tests/support/file_times.h"
#include "tests/support/plan_fixture.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"
#include "tests/support/update_world.h"

namespace tessaryndle::agent {
namespace {

using test::TempDir;
using test::valid_plan;

// --- Creation of the privileged session directory --------------------------------

// Natively the program data folder is a directory of the test's own. On
// Windows the worker takes only the system's, so there each test works in
// an application folder of its own inside the real one, removed at the end.
class PrivilegedSessionCreation : public ::testing::Test {
protected:
    TempDir scratch;
    std::filesystem::path program_data =
        test::on_windows() ? path_from_utf8(test::get_environment("PROGRAMDATA").value_or("")) : scratch.path();
    std::optional<test::ScopedEnvironment> variable =
        test::on_windows()
            ? std::nullopt
            : std::optional<test::ScopedEnvironment>(std::in_place, "PROGRAMDATA", path_display(scratch.path()));
    InstallPlan plan = with_application_id(valid_plan(scratch.path()));
    std::filesystem::path application = program_data / path_from_utf8(plan.application_id);
    std::filesystem::path updater = application / "Updater";
    std::filesystem::path session = updater / std::string(test::TEST_NONCE);

    ~PrivilegedSessionCreation() override {
        std::error_code ignored;
        if (test::on_windows()) std::filesystem::remove_all(application, ignored);
    }

    static InstallPlan with_application_id(InstallPlan plan) {
        if (test::on_windows()) plan.application_id = "tessaryndle-test-" + test::fresh_nonce().substr(0, 16);
        return plan;
    }

    std::string create() {
        auto made = create_privileged_session_directory(plan);
        if (!made) return made.error().display();
        EXPECT_EQ(path_display(made->directory.shown()), path_display(session));
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

// A second session in existing directories: they keep the rights they have
// (only what the worker makes is narrowed by it), a left-over of the same
// nonce starts empty, and the session of a worker that ended without
// removing its own (nobody marks it in use, nobody changed it for a while)
// goes.
TEST_F(PrivilegedSessionCreation, ReusesTheParentsAndStartsTheSessionEmpty) {
    std::filesystem::create_directories(session / "Extracted" / "payload");
    test::write_file(session / "update.zip", "old copy");
    std::filesystem::create_directories(updater / "abandoned" / "Extracted");
    test::write_file(updater / "abandoned" / "update.zip", "left by a killed worker");
    test::make_two_minutes_old(updater / "abandoned");
    std::filesystem::permissions(application, std::filesystem::perms(0755));
    std::filesystem::permissions(updater, std::filesystem::perms(0755));
    const std::string before = test::directory_access(updater);
    ASSERT_EQ(create(), "(created)");
    EXPECT_TRUE(std::filesystem::is_empty(session));
    EXPECT_FALSE(std::filesystem::exists(updater / "abandoned"));
    EXPECT_EQ(test::directory_access(updater), before);
    if (test::file_security_is_kept()) {
        EXPECT_EQ(test::directory_access(session),
                  test::on_windows() ? test::PRIVATE_ACCESS_WINDOWS : test::PRIVATE_ACCESS_NATIVE);
    }

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
    test::write_file(held->directory.path() / "update.zip", "in use");
    test::write_file(updater / "stray.txt", "not a session");
    ASSERT_EQ(create(), "(created)");
    EXPECT_EQ(test::read_file(held->directory.path() / "update.zip"), "in use");
    EXPECT_EQ(test::read_file(updater / "stray.txt"), "not a session");

    const std::filesystem::path left = held->directory.shown();
    { const PrivilegedSession ended = std::move(*held); }
    // Changed within the last minute, it may be a worker's that is still
    // being made: it stays until it has been left alone for a while.
    ASSERT_EQ(create(), "(created)");
    EXPECT_TRUE(std::filesystem::exists(left));
    test::make_two_minutes_old(left);
    ASSERT_EQ(create(), "(created)");
    EXPECT_FALSE(std::filesystem::exists(left));
    EXPECT_TRUE(std::filesystem::is_directory(session));
}

// What a user put first where the application's folders belong (any user
// may make folders in ProgramData) is moved aside and removed, not trusted,
// and would otherwise block every later update for good.
TEST_F(PrivilegedSessionCreation, MovesAsideWhatSomeoneElsePutInItsWay) {
    std::filesystem::create_directories(application);
    test::write_file(updater, "a file where Updater belongs");
    EXPECT_EQ(create(), "(created)");
    EXPECT_TRUE(std::filesystem::is_directory(updater));
    EXPECT_EQ(test::listing(application),
              std::vector<std::string>({"Updater/", "Updater/" + std::string(test::TEST_NONCE) + "/"}));

    // A directory that someone else made (and could open up again later).
    if (test::on_windows()) return;  // Wine keeps no owners
    std::filesystem::remove_all(application);
    std::filesystem::create_directories(updater / "theirs");
    test::RunOptions chown;
    chown.arguments = {test::native_args({"-R", "4242"})[0], test::native_args({"-R", "4242"})[1],
                       application.native()};
    if (test::run_program("/bin/chown", chown).exit_status != 0) GTEST_SKIP() << "only root gives directories away";
    EXPECT_EQ(create(), "(created)");
    EXPECT_NE(test::directory_access(application).substr(0, 15), "owner: uid 4242");
    EXPECT_FALSE(std::filesystem::exists(updater / "theirs"));

    // But the program data folder itself is the system's: one of someone
    // else's is refused.
    std::filesystem::remove_all(application);
    chown.arguments = {test::native_args({"4242"})[0], program_data.native()};
    ASSERT_EQ(test::run_program("/bin/chown", chown).exit_status, 0);
    EXPECT_EQ(create(), "installation failed: the privileged session directory is unsafe");
    EXPECT_FALSE(std::filesystem::exists(application));
}

// The environment names the folder only as far as the system agrees: a user
// sets the environment of their own elevated processes.
TEST_F(PrivilegedSessionCreation, TakesTheSystemsProgramDataOnly) {
    const std::string unavailable = "installation failed: ProgramData is unavailable";
    const std::string redirected = "installation failed: PROGRAMDATA does not name the system's program data folder";
    const struct {
        std::optional<std::string> value;
        std::string outcome;
    } cases[] = {
        {std::nullopt, unavailable},
        {std::string("relative-program-data"), unavailable},
        // Natively the variable stands for the system's folder; on Windows
        // another folder is refused.
        {test::on_windows() ? std::optional<std::string>(path_display(scratch.path())) : std::nullopt,
         test::on_windows() ? redirected : unavailable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.value_or("(unset)"));
        test::ScopedEnvironment changed{"PROGRAMDATA", c.value};
        EXPECT_EQ(create(), c.outcome);
        EXPECT_FALSE(std::filesystem::exists("relative-program-data"));
        EXPECT_FALSE(std::filesystem::exists(application));
    }
    EXPECT_TRUE(std::filesystem::is_empty(scratch.path()));
}

// --- Removal of the privileged session directory --------------------------------

// A session ends by the names it was made under, never by a path rebuilt
// from text: whatever else lies in or beside the program data folder stays.
class PrivilegedSessionRemoval : public PrivilegedSessionCreation {
protected:
    // A directory with a file in it; returns it.
    static std::filesystem::path make_directory(const std::filesystem::path& directory) {
        std::filesystem::create_directories(directory / "Extracted");
        test::write_file(directory / "archive.zip", "zip");
        return directory;
    }

    // Creates the session, fills it as a worker does, and ends it.
    void create_fill_and_remove(const std::function<void()>& while_held = [] {}) {
        auto made = create_privileged_session_directory(plan);
        ASSERT_TRUE(made) << made.error().display();
        make_directory(made->directory.path());
        while_held();
        remove_privileged_session(std::move(*made));
    }
};

TEST_F(PrivilegedSessionRemoval, RemovesTheSessionAndNothingAboveIt) {
    create_fill_and_remove();
    EXPECT_FALSE(std::filesystem::exists(session));
    EXPECT_TRUE(std::filesystem::is_directory(updater));
}

TEST_F(PrivilegedSessionRemoval, LeavesEverythingElseInPlace) {
    const std::string name(test::TEST_NONCE);
    // Directories named like the session, in every place a removal that
    // judged names rather than the directory it made could reach.
    const std::filesystem::path others[] = {
        make_directory(program_data / "other" / "Updater" / name),  // another application's folder
        make_directory(updater / "a" / name),                       // two levels below the root
        make_directory(program_data / ("CASED-" + plan.application_id) / "Updater" / name),  // another name
        make_directory(program_data / "Updater" / name),  // a neighbour outside the root
        make_directory(updater / (name + "-sibling")),    // beside the session
    };
    create_fill_and_remove();
    EXPECT_FALSE(std::filesystem::exists(session));
    for (const auto& other : others) {
        SCOPED_TRACE(path_display(other));
        EXPECT_TRUE(std::filesystem::exists(other / "archive.zip"));
    }
    std::error_code ignored;
    for (const auto& other :
         {program_data / "other", program_data / ("CASED-" + plan.application_id), program_data / "Updater"}) {
        if (test::on_windows()) std::filesystem::remove_all(other, ignored);
    }
}

// The environment is read once, when the session is made: PROGRAMDATA
// changed or gone by the time it ends changes nothing about what goes.
TEST_F(PrivilegedSessionRemoval, RemovesWhereTheSessionWasMadeWhateverTheEnvironmentSaysLater) {
    if (test::on_windows()) GTEST_SKIP() << "the system's program data folder cannot be changed";
    TempDir elsewhere;
    const auto decoy =
        make_directory(elsewhere / std::string(TRUSTED_APPLICATION_ID) / "Updater" / std::string(test::TEST_NONCE));
    create_fill_and_remove([&] { variable.emplace("PROGRAMDATA", path_display(elsewhere.path())); });
    EXPECT_FALSE(std::filesystem::exists(session));
    EXPECT_TRUE(std::filesystem::exists(decoy / "archive.zip"));
}

TEST_F(PrivilegedSessionRemoval, LinksInsideAreRemovedNotFollowed) {
    if (test::on_windows()) {
        GTEST_SKIP() << "links are tested natively";
    }
    TempDir outside;
    test::write_file(outside / "keep.txt", "keep");
    create_fill_and_remove(
        [&] { std::filesystem::create_directory_symlink(outside.path(), session / "Extracted" / "link"); });
    EXPECT_FALSE(std::filesystem::exists(session));
    EXPECT_EQ(test::read_file(outside / "keep.txt"), "keep");
}

}  // namespace
}  // namespace tessaryndle::agent
