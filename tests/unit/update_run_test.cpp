// The update run's own rules: where the worker's result goes, which result
// paths the worker accepts, what the clean-up removes, and that the worker's
// elevated writes never go through a link the user placed.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent/execute_plan.h"
#include "agent/installation/install_result.h"
#include "agent/run.h"
#include "agent/verification/authenticode.h"
#include "platform/held_directory.h"
#include "tests/support/environment.h"
#include "tests/support/plan_fixture.h"
#include "tests/support/result_text.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;
using test::on_windows;
using test::read_file;
using test::TempDir;
using test::write_file;

TEST(InstallResultPath, ReplacesTheFinalNameOfThePlanPath) {
    const struct {
        const char* plan;
        const char* result;
    } cases[] = {
        {"S/plan.json", "S/install-result.json"},
        {"S/other-name", "S/install-result.json"},
        {"/S/T/plan.json", "/S/T/install-result.json"},
        {"plan.json", "install-result.json"},
        {"S/", "S/install-result.json"},  // no final name: appended
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plan);
        EXPECT_EQ(agent::install_result_path(c.plan).generic_string(), c.result);
    }
    if (on_windows()) {
        EXPECT_EQ(agent::install_result_path(fs::path(L"C:\\S\\plan.json")), fs::path(L"C:\\S\\install-result.json"));
        EXPECT_EQ(agent::install_result_path(fs::path(L"C:plan.json")), fs::path(L"C:install-result.json"));
    }
}

TEST(InstallResultPathRule, AcceptsOnlyTheResultBesideThePlan) {
    const struct {
        const char* plan;
        const char* result;
        bool accepted;
    } cases[] = {
        {"/S/plan.json", "/S/install-result.json", true},
        {"/S/plan.json", "/S//./install-result.json", true},  // repeated separators and "." do not count
        {"/S/./plan.json", "/S/install-result.json", true},
        {"plan.json", "install-result.json", true},  // both without a directory
        {"/S/plan.json", "/S/other.json", false},
        {"/S/plan.json", "/T/install-result.json", false},
        {"/S/plan.json", "/S/Install-Result.json", false},         // exact, case-sensitive
        {"/S/plan.json", "/S/install-result.json/", false},        // no file name
        {"/S/plan.json", "/S/sub/../install-result.json", false},  // ".." is a name, not resolved
        {"/S/plan.json", "S/install-result.json", false},          // relative against absolute
        {"plan.json", "/S/install-result.json", false},            // one directory absent
        {"/S/plan.json", "install-result.json", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.plan) + " | " + c.result);
        const auto rule = agent::check_install_result_path(c.plan, c.result);
        EXPECT_EQ(rule.has_value(), c.accepted);
        if (!rule) {
            EXPECT_EQ(rule.error().display(),
                      "installation failed: the install result path is outside the updater session");
        }
    }
    if (on_windows()) {
        EXPECT_TRUE(
            agent::check_install_result_path(fs::path(L"C:\\S\\plan.json"), fs::path(L"C:\\S\\install-result.json")));
        EXPECT_TRUE(
            agent::check_install_result_path(fs::path(L"C:\\S\\plan.json"), fs::path(L"C:/S/install-result.json")));
        EXPECT_FALSE(
            agent::check_install_result_path(fs::path(L"C:\\S\\plan.json"), fs::path(L"D:\\S\\install-result.json")));
        EXPECT_FALSE(
            agent::check_install_result_path(fs::path(L"C:\\S\\plan.json"), fs::path(L"C:S\\install-result.json")));
        EXPECT_FALSE(
            agent::check_install_result_path(fs::path(L"C:\\S\\plan.json"), fs::path(L"C:\\s\\install-result.json")));
    }
}

// The worker reads the plan file again in a directory of its own, so every
// path of it that the worker uses must be absolute; relaunch_path is the
// agent's alone.
TEST(WorkerPaths, ARelativePathTheWorkerWouldReadIsRefused) {
    TempDir dir;
    const InstallPlan absolute = test::valid_plan(dir.path());
    std::vector<fs::path> relative = {"update.zip", "./update.zip", "../session/update.zip", ""};
    if (on_windows()) {
        relative.push_back(L"\\session\\update.zip");  // from the current drive's root
        relative.push_back(L"C:update.zip");           // from drive C's current directory
    }
    ASSERT_TRUE(agent::check_paths_for_worker(absolute));
    const struct {
        const char* member;
        fs::path InstallPlan::*field;
    } members[] = {
        {"archive_path", &InstallPlan::archive_path},
        {"staging_directory", &InstallPlan::staging_directory},
        {"install_source", &InstallPlan::install_source},
        {"install_target", &InstallPlan::install_target},
    };
    for (const auto& member : members) {
        for (const fs::path& path : relative) {
            SCOPED_TRACE(std::string(member.member) + " = " + path_display(path));
            InstallPlan plan = absolute;
            plan.*member.field = path;
            EXPECT_EQ(test::outcome(agent::check_paths_for_worker(plan)),
                      "installation failed: the install plan's " + std::string(member.member) +
                          " is a relative path, which an elevated installation cannot use");
        }
    }
    InstallPlan own = absolute;
    own.relaunch_path = "Tessaryndle.exe";
    EXPECT_TRUE(agent::check_paths_for_worker(own));
}

TEST(WorkerPaths, RelativePlanPathsAreTakenFromTheCurrentDirectory) {
    TempDir dir;
    InstallPlan plan = test::valid_plan(dir.path());
    plan.archive_path = "update.zip";
    plan.staging_directory = fs::path("..") / "staging";
    plan.install_source = "";  // nothing to take from anywhere
    plan.relaunch_path = fs::path("install") / "Tessaryndle.exe";
    const fs::path install_target = plan.install_target;

    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    const fs::path here = fs::current_path();
    const InstallPlan taken = agent::with_absolute_paths(plan);
    fs::current_path(previous);

    EXPECT_EQ(taken.archive_path, here / "update.zip");
    // Natively ".." is kept for the system to resolve, Windows' own rule
    // resolves it in the text: the same directory either way.
    EXPECT_EQ(taken.staging_directory.lexically_normal(), (here / ".." / "staging").lexically_normal());
    EXPECT_EQ(taken.install_source, fs::path());
    EXPECT_EQ(taken.install_target, install_target);
    EXPECT_EQ(taken.relaunch_path, here / "install" / "Tessaryndle.exe");
}

// Link cases run natively: Wine cannot make junctions and shows its own
// links without reparse tags.
class LinkSafety : public ::testing::Test {
protected:
    void SetUp() override {
        if (on_windows()) GTEST_SKIP() << "links are tested natively";
        fs::create_directories(outside / "kept");
        write_file(outside / "kept" / "file.txt", "outside");
        write_file(outside / "target.txt", "untouched");
    }
    void expect_outside_untouched() {
        EXPECT_EQ(read_file(outside / "kept" / "file.txt"), "outside");
        EXPECT_EQ(read_file(outside / "target.txt"), "untouched");
    }
    TempDir dir;
    fs::path outside = dir / "outside";
};

TEST_F(LinkSafety, CleanUpRemovesLinksAndNeverWhatTheyName) {
    const fs::path session = dir / "session";
    fs::create_directories(session / "sub");
    write_file(session / "plan.json", "{}");
    fs::create_directory_symlink(outside / "kept", session / "linked-directory");
    fs::create_symlink(outside / "target.txt", session / "sub" / "linked-file");
    // The staging directory itself is a link the application made.
    const fs::path staging = dir / "staging";
    fs::create_directory_symlink(outside / "kept", staging);

    agent::clean_up_user_session(staging, session / "plan.json");
    EXPECT_FALSE(fs::exists(fs::symlink_status(session)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(staging)));
    expect_outside_untouched();

    // A staging link that names nothing is not there: it stays.
    fs::create_directories(session);
    fs::create_directory_symlink(dir / "missing", staging);
    agent::clean_up_user_session(staging, session / "plan.json");
    EXPECT_TRUE(fs::is_symlink(staging));
    EXPECT_FALSE(fs::exists(fs::symlink_status(session)));
}

TEST_F(LinkSafety, TheHeldSessionDirectoryMustNotBeALink) {
    fs::create_directory_symlink(outside, dir / "linked");
    fs::create_symlink(outside / "target.txt", dir / "file-link");
    EXPECT_TRUE(platform::HeldDirectory::open_no_follow(dir.path()));
    EXPECT_FALSE(platform::HeldDirectory::open_no_follow(dir / "linked"));
    EXPECT_FALSE(platform::HeldDirectory::open_no_follow(dir / "file-link"));
    EXPECT_FALSE(platform::HeldDirectory::open_no_follow(outside / "target.txt"));
    EXPECT_FALSE(platform::HeldDirectory::open_no_follow(dir / "missing"));
}

TEST_F(LinkSafety, TheResultIsNeverWrittenThroughALinkAtItsNames) {
    const fs::path session = dir / "session";
    fs::create_directories(session);
    // At the temporary name: creating it fails, the link's target is kept.
    fs::create_symlink(outside / "target.txt", session / "install-result.json.part");
    const auto refused = agent::write_install_result(session / "install-result.json", {});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().display().rfind("I/O error at " + (session / "install-result.json.part").string(), 0),
              0u);
    expect_outside_untouched();

    // At the final name: the link is replaced, its target is kept.
    fs::remove(session / "install-result.json.part");
    fs::create_symlink(outside / "target.txt", session / "install-result.json");
    ASSERT_TRUE(agent::write_install_result(session / "install-result.json", {}));
    EXPECT_FALSE(fs::is_symlink(session / "install-result.json"));
    EXPECT_EQ(read_file(session / "install-result.json"), R"({"ok":true})");
    expect_outside_untouched();
}

}  // namespace
}  // namespace tessaryndle

namespace tessaryndle {
namespace {

// Native programs carry their signature appended, as Linux kernel modules
// do; the verdicts are those Windows gives for the same findings.
TEST(NativeProgramSignature, VerdictsForSignedChangedAndUnsignedPrograms) {
    if (on_windows()) GTEST_SKIP() << "Windows programs carry Authenticode signatures";
    const fs::path programs = test::binary_dir() / "signed-programs";
    const test::ScopedEnvironment trust("SSL_CERT_FILE", (programs / "pki" / "test-root-ca.pem").string());
    TempDir dir;
    const std::string signed_bytes = read_file(programs / "standin_app.exe");
    std::string changed = signed_bytes;
    changed[changed.size() / 3] ^= 0x01;
    std::string bad_trailer = signed_bytes;
    bad_trailer[bad_trailer.size() - 28 - 10] ^= 0x7f;  // the signature's length
    const struct {
        const char* name;
        std::string bytes;
        std::uint32_t status;
    } cases[] = {
        {"signed", signed_bytes, 0},
        {"changed after signing", changed, 0x80096010},
        {"unsigned", read_file(test::bin_dir() / "standin_app.exe"), 0x800B0100},
        {"damaged signature record", bad_trailer, 0x800B0100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir / "program", c.bytes);
        EXPECT_EQ(agent::authenticode_status(dir / "program"), c.status);
    }
}

}  // namespace
}  // namespace tessaryndle
