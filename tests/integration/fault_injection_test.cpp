// The agent stopped hard at every point where a full update changes the
// disk: in the agent itself (the installation is writable) and in the
// elevated worker (its own copy of the archive, the extraction, the
// activation, the removal of its session directory, the result). A
// test-hooks build ends the process there as a kill would; then the real
// launcher must start a build (the old one until the manifest names the new
// one), and the application's next, honest attempt must install the update.

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>

#include "agent/test_hooks.h"
#include "common/constants.h"
#include "tests/support/fault_injection.h"
#include "tests/support/file_times.h"
#include "tests/support/test_support.h"

namespace tessaryndle::test {
namespace {

namespace fs = std::filesystem;

struct KillPoint {
    InstallMode mode;
    const char* point;
    bool new_build_active;  // after the stop
};

void PrintTo(const KillPoint& kill, std::ostream* out) {
    *out << (kill.mode == InstallMode::InProcess ? "in-process " : "worker ") << kill.point;
}

std::string case_name(const ::testing::TestParamInfo<KillPoint>& info) {
    std::string name = info.param.mode == InstallMode::InProcess ? "InProcess_" : "Worker_";
    for (const char c : std::string_view(info.param.point)) name += c == '-' ? '_' : c;
    return name;
}

// The points in the order a run reaches them.
constexpr KillPoint KILL_POINTS[] = {
    {InstallMode::InProcess, "after-version-store-created", false},
    {InstallMode::InProcess, "after-payload-moved", false},
    {InstallMode::InProcess, "after-new-build-flushed", false},
    {InstallMode::InProcess, "after-launcher-replaced", false},
    {InstallMode::InProcess, "after-agent-replaced", false},
    {InstallMode::InProcess, "after-manifest-switched", true},
    {InstallMode::InProcess, "after-versions-pruned", true},
    {InstallMode::InProcess, "after-staging-removed", true},
    {InstallMode::InProcess, "after-session-removed", true},
    {InstallMode::Worker, "after-archive-copied", false},
    {InstallMode::Worker, "after-archive-extracted", false},
    {InstallMode::Worker, "after-version-store-created", false},
    {InstallMode::Worker, "after-payload-moved", false},
    {InstallMode::Worker, "after-new-build-flushed", false},
    {InstallMode::Worker, "after-launcher-replaced", false},
    {InstallMode::Worker, "after-agent-replaced", false},
    {InstallMode::Worker, "after-manifest-switched", true},
    {InstallMode::Worker, "after-versions-pruned", true},
    {InstallMode::Worker, "after-privileged-session-removed", true},
    {InstallMode::Worker, "after-result-written", true},
};

// No build half-made or set aside stays in the version store. (The running
// agent moved aside as ".tessaryndle-updater-agent.exe~old", where Windows
// will not replace it, stays until a later activation.)
void expect_no_build_half_made_or_set_aside(const UpdateWorld& world) {
    for (const auto& entry : listing(world.install / std::string(VERSIONS_DIRECTORY))) {
        EXPECT_EQ(entry.find('~'), std::string::npos) << entry;
    }
}

class KillDuringUpdate : public ::testing::TestWithParam<KillPoint> {
protected:
    void SetUp() override {
#ifndef TESSARYNDLE_TEST_HOOKS
        GTEST_SKIP() << "built without TESSARYNDLE_TEST_HOOKS";
#endif
    }
    TempDir dir_;
};

TEST_P(KillDuringUpdate, LeavesAStartableInstallationAndTheNextRunSucceeds) {
    const KillPoint& kill = GetParam();
    FaultWorld faults(dir_.path());
    const UpdateWorld& world = faults.world;
    const std::string expected(kill.new_build_active ? NEW_BUILD : OLD_BUILD);

    const RunResult stopped = faults.run(kill.mode, {{std::string(agent::test_hooks::STOP_AT_VARIABLE), kill.point}});
    ASSERT_EQ(stopped.exit_status, agent::test_hooks::STOPPED_EXIT_STATUS)
        << "never reached the point: " << stopped.stdout_bytes << stopped.start_error;
    EXPECT_EQ(faults.log.failure_log(), std::nullopt) << "a killed agent reports nothing";
    EXPECT_EQ(current_build(world.install), expected);
    EXPECT_EQ(faults.launched_build(), expected);

    // The application tries again; nothing of the stopped run is in the way.
    const fs::path stopped_session = faults.privileged_session();
    // A session directory changed within the last minute may be one that a
    // worker is still making; the killed worker's has been left a while.
    if (fs::exists(stopped_session)) {
        make_two_minutes_old(stopped_session);
    }
    faults.prepare_next_attempt();
    const RunResult again = faults.run(kill.mode);
    ASSERT_EQ(again.exit_status, 0) << again.stdout_bytes << again.start_error
                                    << (again.timed_out ? " (timed out)" : "") << faults.log.failure_log().value_or("");
    EXPECT_EQ(current_build(world.install), NEW_BUILD);
    EXPECT_EQ(faults.launched_build(), NEW_BUILD);
    if (kill.mode == InstallMode::Worker) {
        EXPECT_EQ(read_file(world.session / std::string(INSTALL_RESULT_FILE_NAME)), R"({"ok":true})");
        EXPECT_FALSE(fs::exists(faults.privileged_session()));
        EXPECT_FALSE(fs::exists(stopped_session)) << "the next worker clears what a killed one left";
    } else {
        EXPECT_FALSE(fs::exists(world.session)) << "the session is removed after a successful update";
        EXPECT_FALSE(fs::exists(world.staging));
    }
    expect_no_build_half_made_or_set_aside(world);
    EXPECT_FALSE(fs::exists(world.install / "current.json.new"));
}

INSTANTIATE_TEST_SUITE_P(FaultInjection, KillDuringUpdate, ::testing::ValuesIn(KILL_POINTS), case_name);

// Reinstalling the active build: a run stopped at any point leaves the very
// build that was active startable (never an older one), and the next run
// finishes the reinstallation.
constexpr KillPoint REINSTALL_KILL_POINTS[] = {
    {InstallMode::InProcess, "after-payload-moved", true},
    {InstallMode::InProcess, "after-new-build-flushed", true},
    {InstallMode::InProcess, "after-incoming-manifest-written", true},
    {InstallMode::InProcess, "after-old-build-set-aside", true},
    {InstallMode::InProcess, "after-version-directory-replaced", true},
    {InstallMode::InProcess, "after-manifest-switched", true},
    {InstallMode::Worker, "after-incoming-manifest-written", true},
    {InstallMode::Worker, "after-old-build-set-aside", true},
};

class KillDuringReinstall : public KillDuringUpdate {};

TEST_P(KillDuringReinstall, LeavesTheActiveBuildStartableAndTheNextRunFinishes) {
    const KillPoint& kill = GetParam();
    FaultWorld faults(dir_.path());
    const UpdateWorld& world = faults.world;
    const RunResult first = faults.run(kill.mode);
    ASSERT_EQ(first.exit_status, 0) << first.stdout_bytes << faults.log.failure_log().value_or("");
    ASSERT_EQ(current_build(world.install), NEW_BUILD);

    faults.prepare_next_attempt();
    const RunResult stopped = faults.run(kill.mode, {{std::string(agent::test_hooks::STOP_AT_VARIABLE), kill.point}});
    ASSERT_EQ(stopped.exit_status, agent::test_hooks::STOPPED_EXIT_STATUS)
        << "never reached the point: " << stopped.stdout_bytes << stopped.start_error;
    EXPECT_EQ(faults.launched_build(), NEW_BUILD);

    if (fs::exists(faults.privileged_session())) make_two_minutes_old(faults.privileged_session());
    faults.prepare_next_attempt();
    const RunResult again = faults.run(kill.mode);
    ASSERT_EQ(again.exit_status, 0) << again.stdout_bytes << again.start_error
                                    << (again.timed_out ? " (timed out)" : "") << faults.log.failure_log().value_or("");
    EXPECT_EQ(current_build(world.install), NEW_BUILD);
    EXPECT_EQ(faults.launched_build(), NEW_BUILD);
    expect_no_build_half_made_or_set_aside(world);
}

INSTANTIATE_TEST_SUITE_P(FaultInjection, KillDuringReinstall, ::testing::ValuesIn(REINSTALL_KILL_POINTS), case_name);

}  // namespace
}  // namespace tessaryndle::test
