// Crash safety of activation: the activation is stopped abruptly after each
// of its steps (a test-hooks build ends the process there, as a crash would),
// then the real launcher is started in the installation and must start the
// old build or the new one, and a second activation must succeed.
//
// The payload and the installation hold signed test images so that the
// Authenticode checks pass. Before the launcher runs, every application
// executable that exists is replaced by the record_args helper, which writes
// "record.txt" beside itself when started: which files exist and what the
// manifest says are left exactly as the stop left them.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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

    // Stops an activation of B over A at `point`, checks what the launcher
    // starts, then activates B again and checks that B starts.
    void crash_and_recover(const std::string& point, bool foreign_payload, const std::string& expected_after_stop) {
        SCOPED_TRACE(point + (foreign_payload ? " (copied payload)" : " (renamed payload)"));
        fs::remove_all(install_);
        test::make_installation(install_, "A");
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
        ASSERT_EQ(again.exit_status, 0) << again.stdout_bytes;
        EXPECT_EQ(again.stdout_bytes.substr(0, 9), "activated");
        EXPECT_EQ(launched_build(), "B");
        EXPECT_FALSE(fs::exists(install_ / name(VERSIONS_DIRECTORY) / "C"));
    }
};

TEST_F(ActivationCrash, EveryStepLeavesAStartableInstallation) {
    for (int step = 1; step <= 12; ++step) {
        crash_and_recover("after-step-" + std::to_string(step), false, step < 11 ? "A" : "B");
        if (HasFatalFailure()) return;
    }
}

TEST_F(ActivationCrash, CopyFallbackLeavesAStartableInstallation) {
    test::ForeignTempDir probe;
    if (probe.path().empty()) GTEST_SKIP() << "no second file system";
    for (const auto& [point, expected] : {std::pair<std::string, std::string>{"after-step-5", "A"},
                                          {"during-copy", "A"},
                                          {"after-step-6", "A"},
                                          {"after-step-11", "B"}}) {
        crash_and_recover(point, true, expected);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace tessaryndle
