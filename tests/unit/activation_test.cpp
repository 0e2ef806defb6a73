// Activation against real directories: the payload and the installation hold
// signed test images, so that the Authenticode checks pass natively (test
// root trusted through OpenSSL) and under Wine.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent/installation/activation.h"
#include "agent/test_hooks.h"
#include "common/constants.h"
#include "common/current_version.h"
#include "platform/files.h"
#include "platform/os_error.h"
#include "platform/remove_tree.h"
#include "platform/text.h"
#include "tests/support/authenticode_fixture.h"
#include "tests/support/environment.h"
#include "tests/support/installation_builder.h"
#include "tests/support/result_text.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::write_file;

fs::path name(std::string_view text) { return fs::path(std::string(text)); }

class Activation : public ::testing::Test {
protected:
    test::TrustTestRoot trust_;
    TempDir dir_;
    fs::path install_ = dir_ / "install";
    fs::path versions_ = install_ / name(VERSIONS_DIRECTORY);

    // Every test starts from an installation whose current build is A.
    void SetUp() override { test::make_installation(install_, "A"); }

    // A directory outside the installation holding "precious.txt", for links
    // to point at.
    fs::path elsewhere() const {
        fs::create_directories(dir_ / "elsewhere");
        write_file(dir_ / "elsewhere" / "precious.txt", "precious");
        return dir_ / "elsewhere";
    }

    Result<void> activate(const fs::path& payload, const std::string& build) const {
        return agent::activate_update(agent::ActivationInputs{payload, build, build + "-version"}, install_);
    }

    // Makes a payload of `build` beside the installation and activates it.
    Result<void> activate(const std::string& build) {
        const fs::path payload = dir_ / ("payload-" + build);
        test::make_payload(payload, build);
        return activate(payload, build);
    }

    CurrentVersion manifest() const {
        auto read = read_current_version(install_ / name(CURRENT_VERSION_MANIFEST));
        EXPECT_TRUE(read) << read.error().display();
        return read ? *read : CurrentVersion{};
    }

    std::vector<std::string> version_names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(versions_))
            names.push_back(path_display(entry.path().filename()));
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(Activation, UnsafeBuildIsRefusedBeforeAnythingIsCreated) {
    fs::remove_all(versions_);
    for (const std::string build : {"", "..", "2.4/1", "2.4\\1"}) {
        SCOPED_TRACE(build);
        const fs::path payload = dir_ / "payload";
        test::make_payload(payload, "x");
        EXPECT_EQ(test::outcome(activate(payload, build)), "installation failed: update build identifier is unsafe");
        EXPECT_FALSE(fs::exists(versions_));
        EXPECT_TRUE(fs::exists(payload / name(APPLICATION_EXECUTABLE)));
    }
}

TEST_F(Activation, NewBuildOverOldKeepsBothPrunesTheRestAndMovesLauncherAndAgent) {
    fs::create_directories(versions_ / "C" / "sub");
    write_file(versions_ / "C" / "sub" / "f.txt", "c");
    fs::create_directories(versions_ / "tmp");
    write_file(versions_ / "stray-file", "stays");
    // Components set aside by an earlier activation because they were running.
    write_file(install_ / ".Tessaryndle.exe~old", "old launcher");
    write_file(install_ / ".tessaryndle-updater-agent.exe~old", "old agent");

    const fs::path payload = dir_ / "payload-B";
    test::make_payload(payload, "B");
    const auto result = activate(payload, "B");
    ASSERT_TRUE(result) << result.error().display();

    const CurrentVersion current = manifest();
    EXPECT_EQ(current.version, "B-version");
    EXPECT_EQ(current.executable, test::app_relative("B"));
    ASSERT_TRUE(current.previous_executable);
    EXPECT_EQ(*current.previous_executable, test::app_relative("A"));
    EXPECT_EQ((std::vector<std::string>{"A", "B", "stray-file"}), version_names());
    EXPECT_EQ(test::build_marker(install_, "B"), "B");
    EXPECT_EQ(test::build_marker(install_, "A"), "A");
    EXPECT_EQ(test::read_file(versions_ / "B" / "data" / "nested" / "deep.txt"), "deep");

    // The payload was renamed, not copied; launcher and agent were moved.
    EXPECT_FALSE(fs::exists(payload));
    EXPECT_TRUE(fs::exists(versions_ / "B" / name(APPLICATION_EXECUTABLE)));
    EXPECT_FALSE(fs::exists(versions_ / "B" / name(LAUNCHER_EXECUTABLE)));
    EXPECT_FALSE(fs::exists(versions_ / "B" / name(UPDATER_AGENT_EXECUTABLE)));
    EXPECT_TRUE(fs::is_regular_file(install_ / name(LAUNCHER_EXECUTABLE)));
    EXPECT_TRUE(fs::is_regular_file(install_ / name(UPDATER_AGENT_EXECUTABLE)));
    EXPECT_FALSE(fs::exists(install_ / "current.json.new"));
    EXPECT_FALSE(fs::exists(install_ / ".Tessaryndle.exe~old"));
    EXPECT_FALSE(fs::exists(install_ / ".tessaryndle-updater-agent.exe~old"));
}

TEST_F(Activation, SameBuildTwiceNamesItTwiceAndKeepsOneDirectory) {
    ASSERT_TRUE(activate("B"));
    const auto again = activate("B");
    ASSERT_TRUE(again) << again.error().display();
    const CurrentVersion current = manifest();
    EXPECT_EQ(current.executable, test::app_relative("B"));
    ASSERT_TRUE(current.previous_executable);
    EXPECT_EQ(*current.previous_executable, test::app_relative("B"));
    EXPECT_EQ((std::vector<std::string>{"B"}), version_names());
}

TEST_F(Activation, ExistingVersionDirectoryIsReplacedAndWhatAnInterruptedReplacementLeftIsCleared) {
    fs::create_directories(versions_ / "B" / "old-only");
    write_file(versions_ / "B" / "old-only" / "stale.txt", "stale");
    // Left by a reinstallation that stopped between its two renames.
    fs::create_directories(versions_ / "B~new" / "half");
    write_file(versions_ / "B~old", "not even a directory");
    ASSERT_TRUE(activate("B"));
    EXPECT_FALSE(fs::exists(versions_ / "B" / "old-only"));
    EXPECT_EQ(test::build_marker(install_, "B"), "B");
    EXPECT_EQ((std::vector<std::string>{"A", "B"}), version_names());
}

TEST_F(Activation, VersionDestinationThatIsAFileIsRefused) {
    write_file(versions_ / "B", "a file");
    EXPECT_EQ(test::outcome(activate("B")), "installation failed: existing version destination is unsafe");
    EXPECT_EQ(test::read_file(versions_ / "B"), "a file");
    EXPECT_EQ(manifest().executable, test::app_relative("A"));
}

#ifndef _WIN32
// Wine cannot make junctions and shows Unix links with reparse tag 0 only in
// listings, so the link cases run natively.
TEST_F(Activation, VersionDestinationThatIsALinkIsRefusedAndItsTargetUntouched) {
    fs::create_directory_symlink(elsewhere(), versions_ / "B");
    EXPECT_EQ(test::outcome(activate("B")), "installation failed: existing version destination is unsafe");
    EXPECT_TRUE(fs::is_symlink(versions_ / "B"));
    EXPECT_EQ(test::read_file(dir_ / "elsewhere" / "precious.txt"), "precious");
    EXPECT_EQ(manifest().executable, test::app_relative("A"));
}

TEST_F(Activation, PruningRemovesALinkEntryWithoutTouchingItsTarget) {
    fs::create_directory_symlink(elsewhere(), versions_ / "linked");
    ASSERT_TRUE(activate("B"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(versions_ / "linked")));
    EXPECT_EQ(test::read_file(dir_ / "elsewhere" / "precious.txt"), "precious");
}
#endif

TEST_F(Activation, PayloadOnAnotherFileSystemIsCopiedThenRemoved) {
    test::ForeignTempDir foreign;
    if (foreign.path().empty()) GTEST_SKIP() << "no second file system";
    // Only a payload that cannot be renamed takes the copy path.
    fs::create_directories(foreign.path() / "probe");
    ASSERT_FALSE(platform::rename_replace(foreign.path() / "probe", dir_ / "probe"));
    const fs::path payload = foreign.path() / "payload";
    test::make_payload(payload, "B");
    const auto result = activate(payload, "B");
    ASSERT_TRUE(result) << result.error().display();
    EXPECT_FALSE(fs::exists(payload));
    EXPECT_EQ(test::build_marker(install_, "B"), "B");
    EXPECT_EQ(test::read_file(versions_ / "B" / "data" / "nested" / "deep.txt"), "deep");
    EXPECT_FALSE(fs::exists(versions_ / "B" / name(LAUNCHER_EXECUTABLE)));
    EXPECT_EQ(manifest().executable, test::app_relative("B"));
}

#ifndef _WIN32
TEST_F(Activation, LinkInsideAPayloadOnAnotherFileSystemIsRefused) {
    test::ForeignTempDir foreign;
    if (foreign.path().empty()) GTEST_SKIP() << "no second file system";
    fs::create_directories(dir_ / "secret");
    write_file(dir_ / "secret" / "s.txt", "secret");
    const fs::path payload = foreign.path() / "payload";
    test::make_payload(payload, "B");
    fs::create_directory_symlink(dir_ / "secret", payload / "data" / "nested" / "escape");

    const auto result = activate(payload, "B");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), UpdateErrorKind::InvalidArtifact);
    EXPECT_EQ(result.error().payload_text(), "Windows payload contains a symbolic link");
    EXPECT_FALSE(fs::exists(versions_ / "B" / "data" / "nested" / "escape" / "s.txt"));
    EXPECT_EQ(manifest().executable, test::app_relative("A"));
    EXPECT_TRUE(fs::exists(payload / name(APPLICATION_EXECUTABLE)));
}
#endif

TEST_F(Activation, UnreadableOldManifestGivesNoPreviousExecutable) {
    struct Case {
        std::string label;
        std::string manifest;
        bool previous;
    };
    const Case cases[] = {
        {"not JSON", "{\"schema\": 1,", false},
        {"trailing text", R"({"schema":1,"version":"1","executable":"versions/A/tessaryndle-app.exe"} x)", false},
        {"unsafe executable", R"({"schema":1,"version":"1","executable":"..\\tessaryndle-app.exe"})", false},
        {"missing version", R"({"schema":1,"executable":"versions/A/tessaryndle-app.exe"})", false},
        {"schema 2 is still read", R"({"schema":2,"version":"1","executable":"versions/A/tessaryndle-app.exe"})", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(install_);
        test::make_installation(install_, "A");
        write_file(install_ / name(CURRENT_VERSION_MANIFEST), c.manifest);
        const auto result = activate("B");
        ASSERT_TRUE(result) << result.error().display();
        const std::string text = test::read_file(install_ / name(CURRENT_VERSION_MANIFEST));
        EXPECT_EQ(text.find("previous_executable") != std::string::npos, c.previous) << text;
        // Nothing names A any more, so pruning removed it unless it is the
        // previous build.
        EXPECT_EQ(fs::exists(versions_ / "A"), c.previous);
    }
}

// Paths beyond the 260 characters that Windows allows without the
// extended-length form, through the rename, the copy fallback and pruning.
// The deep tree is made and read through the platform layer, which gives
// Win32 the extended-length form.
TEST(ActivationLongPaths, DeepBuildsUnderALongInstallationPathAreInstalledCopiedAndPruned) {
    test::TrustTestRoot trust;
    TempDir dir;
    test::ForeignTempDir foreign;
    const fs::path install = dir / std::string(100, 'i');
    fs::path deep = "data";
    for (int level = 0; level < 8; ++level) deep /= "a-rather-long-directory-name-" + std::to_string(level);
    deep /= "deep-file.txt";
    const auto make_deep_payload = [&deep](const fs::path& payload, const std::string& build) {
        test::make_payload(payload, build);
        ASSERT_TRUE(platform::create_directories((payload / deep).parent_path()));
        ASSERT_TRUE(platform::replace_file_contents(payload / deep, payload / "deep.tmp", build,
                                                    platform::ExistingTemporary::Refuse,
                                                    platform::RenameKind::Ordinary));
    };
    const auto activate = [&install](const fs::path& payload, const std::string& build) {
        const auto result = agent::activate_update(agent::ActivationInputs{payload, build, build}, install);
        EXPECT_TRUE(result) << build << ": " << result.error().display();
    };
    const fs::path versions = install / name(VERSIONS_DIRECTORY);
    test::make_installation(install, "A");
    ASSERT_GT(path_display(versions / "B" / deep).size(), 300u);

    make_deep_payload(dir / "payload-B", "B");
    activate(dir / "payload-B", "B");
    EXPECT_EQ(platform::read_whole_file(versions / "B" / deep).value_or(""), "B");

    const fs::path copied_payload = foreign.path().empty() ? dir / "payload-C" : foreign.path() / "payload-C";
    make_deep_payload(copied_payload, "C");
    activate(copied_payload, "C");
    EXPECT_EQ(platform::read_whole_file(versions / "C" / deep).value_or(""), "C");
    EXPECT_FALSE(platform::file_info_no_follow(copied_payload));

    // D over C prunes B, the deep build that is neither current nor previous.
    make_deep_payload(dir / "payload-D", "D");
    activate(dir / "payload-D", "D");
    EXPECT_FALSE(platform::file_info_no_follow(versions / "B"));
    EXPECT_EQ(platform::read_whole_file(versions / "D" / deep).value_or(""), "D");
    (void)platform::remove_tree(install);
}

TEST(ReplaceStableComponent, FailureNamesTheTargetAndTheWindowsError) {
    TempDir dir;
    write_file(dir / "new.exe", "new");
    // A non-empty directory cannot be replaced by a file.
    fs::create_directories(dir / "target.exe" / "inside");
    const auto result = agent::replace_stable_component(dir / "new.exe", dir / "target.exe");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), UpdateErrorKind::Installation);
    const std::string prefix = "replace stable update component " + path_display(dir / "target.exe") + ": ";
    const std::string text = result.error().payload_text();
    ASSERT_EQ(text.substr(0, prefix.size()), prefix);
    EXPECT_EQ(text.substr(text.size() - 13, 4), " (0x") << text;
    EXPECT_EQ(test::read_file(dir / "new.exe"), "new");
}

TEST(ReplaceStableComponent, ARefusedReplaceMovesTheTargetAsideFirst) {
#ifndef TESSARYNDLE_TEST_HOOKS
    GTEST_SKIP() << "built without TESSARYNDLE_TEST_HOOKS";
#endif
    const test::ScopedEnvironment refuse(std::string(agent::test_hooks::REFUSE_REPLACE_VARIABLE), "target.exe");
    TempDir dir;
    const fs::path aside = dir / ".target.exe~old";
    write_file(dir / "new.exe", "new");
    write_file(dir / "target.exe", "old");
    const auto replaced = agent::replace_stable_component(dir / "new.exe", dir / "target.exe");
    ASSERT_TRUE(replaced) << replaced.error().display();
    EXPECT_EQ(test::read_file(dir / "target.exe"), "new");
    EXPECT_EQ(test::read_file(aside), "old");
    EXPECT_FALSE(fs::exists(dir / "new.exe"));

    // When the target cannot be moved aside either, it fails as before and
    // nothing moves.
    fs::remove(aside);
    fs::create_directories(aside / "inside");
    write_file(dir / "newer.exe", "newer");
    const auto refused = agent::replace_stable_component(dir / "newer.exe", dir / "target.exe");
    ASSERT_FALSE(refused);
    const std::string prefix = "replace stable update component " + path_display(dir / "target.exe") + ": ";
    EXPECT_EQ(refused.error().payload_text().substr(0, prefix.size()), prefix);
    EXPECT_EQ(refused.error().payload_text().substr(prefix.size()),
              platform::windows_error_text(platform::access_denied_error().code));
    EXPECT_EQ(test::read_file(dir / "target.exe"), "new");
    EXPECT_EQ(test::read_file(dir / "newer.exe"), "newer");
}

TEST(ReplaceStableComponent, MovesTheFileOverTheTarget) {
    TempDir dir;
    write_file(dir / "new.exe", "new");
    write_file(dir / "target.exe", "old");
    ASSERT_TRUE(agent::replace_stable_component(dir / "new.exe", dir / "target.exe"));
    EXPECT_EQ(test::read_file(dir / "target.exe"), "new");
    EXPECT_FALSE(fs::exists(dir / "new.exe"));
}

TEST(PruneVersions, KeepsTheSecondComponentsOnly) {
    struct Case {
        std::string label;
        fs::path executable;
        std::optional<fs::path> previous;
        std::vector<std::string> remaining;
    };
    const Case cases[] = {
        {"current and previous",
         fs::path("versions") / "B" / "app.exe",
         fs::path("versions") / "A" / "app.exe",
         {"A", "B", "file"}},
        {"first component not compared", fs::path("elsewhere") / "B" / "app.exe", std::nullopt, {"B", "file"}},
        {"backslash separators", fs::path("versions\\A\\app.exe"), std::nullopt, {"A", "file"}},
        {"too short keeps nothing", fs::path("app.exe"), fs::path("x"), {"file"}},
        {"dot-dot keeps nothing", fs::path("versions") / ".." / "app.exe", std::nullopt, {"file"}},
        {"names are case-sensitive", fs::path("versions") / "b" / "app.exe", std::nullopt, {"file"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        for (const char* build : {"A", "B", "tmp"}) {
            fs::create_directories(dir / build / "sub");
            write_file(dir / build / "sub" / "f", build);
        }
        write_file(dir / "file", "plain files stay");
        agent::prune_versions(dir.path(), c.executable, c.previous);
        std::vector<std::string> remaining;
        for (const auto& entry : fs::directory_iterator(dir.path()))
            remaining.push_back(path_display(entry.path().filename()));
        std::sort(remaining.begin(), remaining.end());
        EXPECT_EQ(remaining, c.remaining);
    }
}

TEST(PruneVersions, AMissingStoreIsNotAnError) {
    TempDir dir;
    agent::prune_versions(dir / "missing", fs::path("versions") / "B" / "app.exe", std::nullopt);
    SUCCEED();
}

TEST(CopyStagedTree, CopiesTheWholeTreeAndRemovesTheSource) {
    TempDir dir;
    fs::path deep = dir / "source";
    // Deeper than the ten directory handles the walk may hold.
    for (int i = 0; i < 12; ++i) {
        deep /= "l" + std::to_string(i);
        fs::create_directories(deep);
        write_file(deep / "file.txt", std::to_string(i));
    }
    fs::create_directories(dir / "source" / "empty");
    fs::create_directories(dir / "destination" / "l0");
    write_file(dir / "destination" / "l0" / "file.txt", "to be replaced");

    const auto copied = agent::copy_staged_tree(dir / "source", dir / "destination");
    ASSERT_TRUE(copied) << copied.error().display();
    EXPECT_FALSE(fs::exists(dir / "source"));
    EXPECT_TRUE(fs::is_directory(dir / "destination" / "empty"));
    fs::path check = dir / "destination";
    for (int i = 0; i < 12; ++i) {
        check /= "l" + std::to_string(i);
        ASSERT_EQ(test::read_file(check / "file.txt"), std::to_string(i));
    }
}

TEST(CopyStagedTree, ASourceWithATrailingSeparatorIsCopied) {
    TempDir dir;
    fs::create_directories(dir / "source" / "sub");
    write_file(dir / "source" / "top.txt", "top");
    write_file(dir / "source" / "sub" / "inner.txt", "inner");
    fs::path source = dir / "source";
    source += fs::path::preferred_separator;

    const auto copied = agent::copy_staged_tree(source, dir / "destination");
    ASSERT_TRUE(copied) << copied.error().display();
    EXPECT_FALSE(fs::exists(dir / "source"));
    EXPECT_EQ(test::read_file(dir / "destination" / "top.txt"), "top");
    EXPECT_EQ(test::read_file(dir / "destination" / "sub" / "inner.txt"), "inner");
}

TEST(CopyStagedTree, AMissingSourceIsAWalkError) {
    TempDir dir;
    const auto copied = agent::copy_staged_tree(dir / "missing", dir / "destination");
    ASSERT_FALSE(copied);
    EXPECT_EQ(copied.error().kind(), UpdateErrorKind::Installation);
    EXPECT_NE(copied.error().payload_text().find(path_display(dir / "missing")), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "destination"));
}

}  // namespace
}  // namespace tessaryndle
