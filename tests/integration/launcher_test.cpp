// The built launcher, run the way users start it: from a working directory
// of their own, with arguments, in an installation whose builds are copies of
// the record_args helper. The launcher does not wait for what it starts, so
// the tests wait for the build's record file to appear.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/os_error.h"
#include "platform/text.h"
#include "tests/support/eventually.h"
#include "tests/support/recorded_start.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view LOG_NAME = "tessaryndle-launch-error.log";

// A path as a manifest holds it: "\" separated, as the agent writes it on
// Windows (the native launcher reads "\" as a separator too).
std::string manifest_text(const std::optional<std::string>& executable, const nlohmann::json& previous,
                          const nlohmann::json& schema = 1) {
    nlohmann::ordered_json document;
    document["schema"] = schema;
    document["version"] = "2.4.0";
    if (executable) document["executable"] = *executable;
    if (!previous.is_discarded()) document["previous_executable"] = previous;
    return document.dump(2);
}

const nlohmann::json NO_PREVIOUS = nlohmann::json(nlohmann::json::value_t::discarded);

std::string exe_of(std::string_view build) { return "versions\\" + std::string(build) + "\\tessaryndle-app.exe"; }

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        install_ = root_ / "install";
        cwd_ = root_ / "cwd";
        fs::create_directories(install_);
        fs::create_directories(cwd_);
        fs::copy_file(test::bin_dir() / "Tessaryndle.exe", launcher());
    }

    fs::path launcher() const { return install_ / "Tessaryndle.exe"; }
    fs::path build_dir(std::string_view build) const { return install_ / "versions" / std::string(build); }
    fs::path record_path(std::string_view build) const { return build_dir(build) / "record.txt"; }
    fs::path log_path() const { return cwd_ / std::string(LOG_NAME); }

    // Installs the stand-in application at `relative` below the installation.
    void install_app(const fs::path& target) const {
        fs::create_directories(target.parent_path());
        fs::copy_file(test::bin_dir() / "record_args.exe", target);
    }
    void add_build(std::string_view build) const { install_app(build_dir(build) / "tessaryndle-app.exe"); }

    void write_manifest(const std::string& text) const { test::write_file(install_ / "current.json", text); }

    test::RunResult run(const std::vector<NativeString>& arguments = {}) const {
        test::RunOptions options;
        options.arguments = arguments;
        options.working_directory = cwd_;
        // The started build inherits this pipe, so the run also waits for
        // any build that was started to finish writing its record.
        options.capture_stdout = true;
        return test::run_program(launcher(), options);
    }

    std::optional<std::string> log() const {
        std::error_code ec;
        if (!fs::exists(log_path(), ec)) return std::nullopt;
        return test::read_file(log_path());
    }

    // No build anywhere below the test's root wrote a record.
    void expect_nothing_started() const {
        for (const auto& entry : fs::recursive_directory_iterator(root_.path())) {
            EXPECT_NE(entry.path().filename(), "record.txt") << entry.path();
        }
    }

    void expect_failure(const test::RunResult& result, const std::string& log_text) const {
        EXPECT_EQ(result.exit_status, 1) << result.start_error << (result.timed_out ? "timed out" : "");
        EXPECT_EQ(log(), log_text);
        EXPECT_FALSE(fs::exists(install_ / std::string(LOG_NAME)));
    }

    test::TempDir root_;
    fs::path install_;
    fs::path cwd_;
};

std::vector<NativeString> tricky_arguments() {
    std::vector<NativeString> arguments = test::native_args({
        "a",
        "b c",
        "d",
        "",
        "tab\there",
        "say \"hi\"",
        "\"",
        "trailing\\",
        "C:\\my dir\\",
        "two\\\\\"quotes\\\"",
        "--flag=value with  spaces",
        "",
        "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80",
    });
    // Text that is not valid Unicode is forwarded as it is.
    using Unit = NativeString::value_type;
    NativeString odd = test::native_args({"odd"}).front();
    odd.push_back(static_cast<Unit>(sizeof(Unit) == 1 ? 0xFF : 0xD800));
    odd += test::native_args({"end"}).front();
    arguments.push_back(odd);
    return arguments;
}

TEST_F(LauncherTest, StartsActiveBuildWithArgumentsUnchangedInTheCallersDirectory) {
    add_build("2.4.0");
    add_build("2.3.1");
    write_manifest(manifest_text(exe_of("2.4.0"), exe_of("2.3.1")));
    const auto arguments = tricky_arguments();

    const auto result = run(arguments);
    EXPECT_EQ(result.exit_status, 0) << result.start_error;
    // The build wrote into the launcher's standard output (in text mode on
    // Windows).
    std::string output = result.stdout_bytes;
    std::erase(output, '\r');
    EXPECT_EQ(output, "recorded\n");

    const auto record = test::wait_for_record(build_dir("2.4.0"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->arguments, arguments);
    EXPECT_TRUE(fs::equivalent(fs::path(record->program), build_dir("2.4.0") / "tessaryndle-app.exe"));
    EXPECT_TRUE(fs::equivalent(fs::path(record->cwd), cwd_));
    EXPECT_FALSE(fs::exists(record_path("2.3.1")));
    EXPECT_FALSE(log());
}

TEST_F(LauncherTest, WithoutArgumentsTheBuildGetsNone) {
    add_build("2.4.0");
    write_manifest(manifest_text(exe_of("2.4.0"), nullptr));
    EXPECT_EQ(run().exit_status, 0);
    const auto record = test::wait_for_record(build_dir("2.4.0"));
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->arguments.empty());
}

TEST_F(LauncherTest, DoesNotWaitForTheStartedBuild) {
    add_build("2.4.0");
    write_manifest(manifest_text(exe_of("2.4.0"), NO_PREVIOUS));
    const fs::path release = root_ / "release";
    // The build lets go once it has removed the release file, which appears
    // only complete (a file still open in this process could not be removed
    // under Windows). Whatever happens below, the build is let go at the end:
    // it shares the test's standard handles, and CTest waits for everyone
    // holding them.
    struct Release {
        fs::path file;
        bool given = false;
        void give() {
            if (given) return;
            given = true;
            test::publish_file(file, "");
        }
        ~Release() {
            try {
                give();
            } catch (const std::exception&) {}
        }
    } release_guard{release};
    test::RunOptions options;
    options.working_directory = cwd_;
    options.capture_stdout = false;
    // The build holds for up to a minute; a launcher waiting for it would
    // run into this limit.
    options.timeout = 20s;
    options.environment["TESSARYNDLE_RECORD_HOLD"] = path_display(release);
    const auto result = test::run_program(launcher(), options);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(test::wait_for_record(build_dir("2.4.0")));
    // Let the build go and see it leave before the installation is removed.
    release_guard.give();
    EXPECT_TRUE(test::eventually([&] { return !fs::exists(release); }, 30s));
}

TEST_F(LauncherTest, RollsBackWhenTheActiveBuildIsGone) {
    add_build("2.3.1");
    write_manifest(manifest_text(exe_of("2.4.0"), exe_of("2.3.1")));
    const auto arguments = test::native_args({"x y", "z\\"});
    const std::string manifest_before = test::read_file(install_ / "current.json");

    const auto result = run(arguments);
    EXPECT_EQ(result.exit_status, 0);
    const auto record = test::wait_for_record(build_dir("2.3.1"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->arguments, arguments);
    EXPECT_FALSE(log());
    EXPECT_EQ(test::read_file(install_ / "current.json"), manifest_before);
}

TEST_F(LauncherTest, ActiveBuildFailsWithoutRollback) {
    for (const nlohmann::json& previous : {nlohmann::json(nullptr), NO_PREVIOUS}) {
        SCOPED_TRACE(previous.dump());
        write_manifest(manifest_text(exe_of("2.4.0"), previous));
        expect_failure(run(),
                       "installation failed: the active application failed to launch and no rollback is available");
    }
}

TEST_F(LauncherTest, BothBuildsMissing) {
    // The directories are there, the executables are not.
    fs::create_directories(build_dir("2.4.0"));
    fs::create_directories(build_dir("2.3.1"));
    write_manifest(manifest_text(exe_of("2.4.0"), exe_of("2.3.1")));
    expect_failure(run(), "installation failed: rollback launch: " + platform::system_message(2) + " (os error 2)");
}

TEST_F(LauncherTest, UnsafePathsStartNothing) {
    // Each unsafe path names a real copy of the application, so a launcher
    // that skipped the check would start it.
    add_build("2.3.1");
    install_app(root_ / "tessaryndle-app.exe");
    install_app(build_dir("1.0") / "tessaryndle-app");
    install_app(build_dir("1.0") / "tessaryndle-app.EXE.old");
    const std::string absolute = path_display(build_dir("2.3.1") / "tessaryndle-app.exe");
    const std::string unsafe = "installation failed: the active executable path is unsafe";
    struct Case {
        std::string executable;
        nlohmann::json previous;
    };
    const std::vector<Case> cases = {
        // Refused even when the previous build could be started.
        {"..\\tessaryndle-app.exe", exe_of("2.3.1")},
        {absolute, exe_of("2.3.1")},
        {"versions\\1.0\\tessaryndle-app", exe_of("2.3.1")},
        {"versions\\1.0\\tessaryndle-app.EXE.old", exe_of("2.3.1")},
        {".\\" + exe_of("2.3.1"), NO_PREVIOUS},
        // An unsafe rollback target is refused too.
        {exe_of("9.9.9"), "..\\tessaryndle-app.exe"},
        {exe_of("9.9.9"), absolute},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.executable + " / " + c.previous.dump());
        write_manifest(manifest_text(c.executable, c.previous));
        expect_failure(run(), unsafe);
        expect_nothing_started();
    }
}

TEST_F(LauncherTest, ManifestFaults) {
    add_build("2.4.0");
    const std::string valid = manifest_text(exe_of("2.4.0"), NO_PREVIOUS);
    struct Case {
        std::string manifest;
        std::string log_start;
        std::string log_end;
    };
    const std::vector<Case> cases = {
        {manifest_text(exe_of("2.4.0"), NO_PREVIOUS, 2),
         "installation failed: the active-version manifest schema is unsupported", ""},
        {manifest_text(exe_of("2.4.0"), NO_PREVIOUS, 0),
         "installation failed: the active-version manifest schema is unsupported", ""},
        {manifest_text(exe_of("2.4.0"), NO_PREVIOUS, -1), "serialization failed: ", ""},
        {manifest_text(exe_of("2.4.0"), NO_PREVIOUS, 1.5), "serialization failed: ", ""},
        {"", "serialization failed: ", " at line 1 column 0"},
        {"\xEF\xBB\xBF" + valid, "serialization failed: ", ""},
        {valid + "\n{}", "serialization failed: trailing characters", ""},
        {manifest_text(std::nullopt, NO_PREVIOUS), "serialization failed: missing field `executable`", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manifest);
        write_manifest(c.manifest);
        const auto result = run();
        EXPECT_EQ(result.exit_status, 1);
        const auto text = log();
        ASSERT_TRUE(text);
        EXPECT_TRUE(text->starts_with(c.log_start)) << *text;
        EXPECT_TRUE(text->ends_with(c.log_end)) << *text;
        expect_nothing_started();
    }
}

TEST_F(LauncherTest, MissingManifestIsIoAtItsPathBesideTheLauncher) {
    const auto result = run();
    EXPECT_EQ(result.exit_status, 1);
    const auto text = log();
    ASSERT_TRUE(text);
    // The manifest path comes from the launcher's own full path.
    const std::string tail = "current.json: " + platform::system_message(2) + " (os error 2)";
    EXPECT_TRUE(text->starts_with("I/O error at ")) << *text;
    EXPECT_TRUE(text->ends_with(tail)) << *text;
    const fs::path where = path_from_utf8(text->substr(13, text->size() - 13 - tail.size()) + "current.json");
    EXPECT_TRUE(where.is_absolute()) << *text;
    std::error_code ec;
    EXPECT_TRUE(fs::equivalent(where.parent_path(), install_, ec)) << *text;
}

TEST_F(LauncherTest, LogIsReplacedByFailuresAndKeptBySuccess) {
    write_manifest(manifest_text(exe_of("2.4.0"), NO_PREVIOUS, 2));
    test::write_file(log_path(), "an older and much longer failure text from some earlier run");
    EXPECT_EQ(run().exit_status, 1);
    EXPECT_EQ(log(), "installation failed: the active-version manifest schema is unsupported");

    write_manifest(manifest_text(exe_of("2.4.0"), nullptr));
    EXPECT_EQ(run().exit_status, 1);
    EXPECT_EQ(log(), "installation failed: the active application failed to launch and no rollback is available");

    add_build("2.4.0");
    EXPECT_EQ(run().exit_status, 0);
    EXPECT_TRUE(test::wait_for_record(build_dir("2.4.0")));
    EXPECT_EQ(log(), "installation failed: the active application failed to launch and no rollback is available");
}

}  // namespace
}  // namespace tessaryndle
