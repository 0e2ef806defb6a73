// Crash safety of activation: the activation is stopped abruptly at each of
// its stop points, each named after what has just been made durable (a
// test-hooks build ends the process there, as a crash would), then the real
// launcher is started in the installation and must start the old build or
// the new one, and a second activation must succeed. Reinstalling the
// active build is included: there the old and the new build are the same,
// and a crash must never leave the installation without it.
//
// The payload and the installation hold signed test images so that the
// Authenticode checks pass. Before the launcher runs, every application
// executable that exists is replaced by the record_args helper, which writes
// "record.txt" beside itself when started: which files exist and what the
// manifest says are left exactly as the stop left them.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "agent/test_hooks.h"
#include "common/constants.h"
#include "tests/support/authenticode_fixture.h"
#include "tests/support/installation_builder.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path name(std::string_view text) { return fs::path(std::string(text)); }

class ActivationCrash : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef TESSARYNDLE_TEST_HOOKS
        GTEST_SKIP() << "built without TESSARYNDLE_TEST_HOOKS";
#endif
    }

    test::TempDir dir_;
    fs::path install_ = dir_ / "install";

    test::RunResult activate(const fs::path& payload, const std::string& build, const std::string& stop_at) {
        test::RunOptions options;
        options.arguments = {payload.native(), install_.native(), name(build).native(), name(build).native()};
        options.environment.insert(test::trust_test_root_variable());
        if (stop_at.empty()) {
            options.unset_environment.push_back(std::string(agent::test_hooks::STOP_AT_VARIABLE));
        } else {
            options.environment[std::string(agent::test_hooks::STOP_AT_VARIABLE)] = stop_at;
        }
        return test::run_program(test::bin_dir() / "activate_until.exe", options);
    }

    // Runs the real launcher from the installation directory and returns the
    // build whose application it started ("" when none started).
    std::string launched_build() {
        const fs::path versions = install_ / name(VERSIONS_DIRECTORY);
        std::vector<fs::path> builds;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(versions, ec)) {
            const fs::path app = entry.path() / name(APPLICATION_EXECUTABLE);
            fs::remove(entry.path() / "record.txt", ec);
            if (!fs::is_regular_file(app, ec)) continue;
            fs::remove(app);
            fs::copy_file(test::bin_dir() / "record_args.exe", app);
            builds.push_back(entry.path());
        }
        // The installed launcher may be a signed test image at this point;
        // a copy of the real one beside it reads the same manifest.
        const fs::path launcher = install_ / "launch-check.exe";
        fs::remove(launcher);
        fs::copy_file(test::bin_dir() / name(LAUNCHER_EXECUTABLE), launcher);
        test::RunOptions options;
        options.working_directory = dir_.path();
        const test::RunResult run = test::run_program(launcher, options);
        fs::remove(launcher);
        if (run.exit_status != 0) {
            ADD_FAILURE() << "launcher exit status " << run.exit_status << " " << run.start_error;
            return "";
        }
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto& build : builds) {
                if (fs::exists(build / "record.txt", ec)) return test::read_file(build / name(test::BUILD_MARKER));
            }
            std::this_thread::sleep_for(20ms);
        }
        ADD_FAILURE() << "no build recorded a start";
        return "";
    }

    // Stops an activation of B over an installation of `installed` at
    // `point`, checks what the launcher starts, then activates B again and
    // checks that B starts and that pruning left only B and the build that
    // was active before (no directory set aside or left half-made).
    void crash_and_recover(const std::string& installed, const std::string& point, bool foreign_payload,
                           const std::string& expected_after_stop) {
        SCOPED_TRACE(installed + " -> B, " + point + (foreign_payload ? " (copied payload)" : " (renamed payload)"));
        fs::remove_all(install_);
        test::make_installation(install_, installed);
        fs::create_directories(install_ / name(VERSIONS_DIRECTORY) / "C");
        test::ForeignTempDir foreign;
        const fs::path payload_root = foreign_payload ? foreign.path() : dir_.path();
        const fs::path payload = payload_root / "payload";
        fs::remove_all(payload);
        test::make_payload(payload, "B");

        const test::RunResult stopped = activate(payload, "B", point);
        ASSERT_EQ(stopped.exit_status, agent::test_hooks::STOPPED_EXIT_STATUS)
            << stopped.stdout_bytes << stopped.start_error;
        EXPECT_EQ(launched_build(), expected_after_stop);

        fs::remove_all(payload);
        test::make_payload(payload, "B");
        const test::RunResult again = activate(payload, "B", "");
        ASSERT_EQ(again.exit_status, 0) << again.stdout_bytes << again.start_error;
        EXPECT_EQ(again.stdout_bytes.substr(0, 9), "activated");
        EXPECT_EQ(launched_build(), "B");
        std::set<std::string> left;
        for (const auto& entry : fs::directory_iterator(install_ / name(VERSIONS_DIRECTORY))) {
            left.insert(entry.path().filename().string());
        }
        EXPECT_EQ(left, (std::set<std::string>{expected_after_stop, "B"}));
    }
};

// The stop points in the order an activation reaches them, and whether the
// new build is active after a stop there.
struct StopPoint {
    const char* name;
    bool new_build_active;
};
constexpr StopPoint RENAME_POINTS[] = {
    {"after-version-store-created", false}, {"after-payload-moved", false},  {"after-new-build-flushed", false},
    {"after-launcher-replaced", false},     {"after-agent-replaced", false}, {"after-manifest-switched", true},
    {"after-versions-pruned", true},
};
constexpr StopPoint COPY_POINTS[] = {
    {"after-first-file-copied", false},
    {"after-payload-moved", false},
    {"after-manifest-switched", true},
};

TEST_F(ActivationCrash, EveryStopPointLeavesAStartableInstallation) {
    for (const auto& point : RENAME_POINTS) {
        crash_and_recover("A", point.name, false, point.new_build_active ? "B" : "A");
        if (HasFatalFailure()) return;
    }
}

TEST_F(ActivationCrash, CopyFallbackLeavesAStartableInstallation) {
    test::ForeignTempDir probe;
    if (probe.path().empty()) GTEST_SKIP() << "no second file system";
    for (const auto& point : COPY_POINTS) {
        crash_and_recover("A", point.name, true, point.new_build_active ? "B" : "A");
        if (HasFatalFailure()) return;
    }
}

// B over B with no other build: until the manifest switch only B can start,
// so every stop point, the copy included, must leave a directory of B.
TEST_F(ActivationCrash, ReinstallingTheActiveBuildAlwaysLeavesItStartable) {
    test::ForeignTempDir probe;
    for (const bool foreign : {false, true}) {
        if (foreign && probe.path().empty()) continue;
        std::vector<std::string> points = {"after-version-directory-replaced"};
        for (const auto& point :
             foreign ? std::span<const StopPoint>(COPY_POINTS) : std::span<const StopPoint>(RENAME_POINTS)) {
            points.push_back(point.name);
        }
        for (const auto& point : points) {
            crash_and_recover("B", point, foreign, "B");
            if (HasFatalFailure()) return;
        }
    }
}

}  // namespace
}  // namespace tessaryndle
