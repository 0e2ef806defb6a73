// Windows will not replace or delete a program while it runs, but lets it be
// renamed. The agent that performs an activation usually is the installed
// agent itself, so its replacing move is refused on Windows. Here the
// activation runs from the installation directory as its installed agent
// (the activation helper, signed like the product). Windows refuses the
// first replacing move of the agent itself; under Wine, which would allow
// it, a test hook refuses it the same way. The running agent must be moved
// aside and the new one moved in.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "agent/test_hooks.h"
#include "common/constants.h"
#include "common/current_version.h"
#include "tests/support/authenticode_fixture.h"
#include "tests/support/environment.h"
#include "tests/support/installation_builder.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;

fs::path name(std::string_view text) { return fs::path(std::string(text)); }

TEST(RunningAgent, TheAgentRunningTheActivationIsReplacedThroughAMoveAside) {
#ifndef TESSARYNDLE_TEST_HOOKS
    GTEST_SKIP() << "built without TESSARYNDLE_TEST_HOOKS";
#endif
    test::TempDir dir;
    const fs::path install = dir / "install";
    const fs::path payload = dir / "payload";
    test::make_installation(install, "A");
    test::make_payload(payload, "B");
    const fs::path agent = install / name(UPDATER_AGENT_EXECUTABLE);
    fs::remove(agent);
    fs::copy_file(test::binary_dir() / "authenticode-fixtures" / "signed-activate-until.exe", agent);

    test::RunOptions options;
    options.arguments = {payload.native(), install.native(), L"B", L"B"};
    if (test::under_wine()) {
        options.environment[std::string(agent::test_hooks::REFUSE_REPLACE_VARIABLE)] =
            std::string(UPDATER_AGENT_EXECUTABLE);
    }
    const test::RunResult run = test::run_program(agent, options);

    ASSERT_EQ(run.exit_status, 0) << run.stdout_bytes << run.start_error;
    EXPECT_EQ(run.stdout_bytes.substr(0, 9), "activated");
    EXPECT_EQ(test::read_file(agent), test::read_file(test::authenticode_fixtures().signed_pe));
    const auto manifest = read_current_version(install / name(CURRENT_VERSION_MANIFEST));
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->executable, test::app_relative("B"));
}

}  // namespace
}  // namespace tessaryndle
