// A file of the installation held open by another process without any
// sharing while the update is activated (a virus scanner, a backup, a
// second copy of the launcher being inspected): activation cannot replace
// it, and must say which file (or, for the manifest, which step) stopped it,
// keep the old build active, and succeed on the next attempt once the file
// is free. Windows only: natively
// nothing holds a file that way.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/constants.h"
#include "tests/support/fault_injection.h"
#include "tests/support/piped_child.h"
#include "tests/support/process_state.h"
#include "tests/support/test_support.h"

namespace tessaryndle::test {
namespace {

namespace fs = std::filesystem;

struct HeldFile {
    const char* name;
    std::string_view file;  // in the installation directory
    // How the error names it: by its path, or (the manifest switch, the
    // one step that replaces current.json) by the step's own text.
    bool named_by_path;
};

constexpr HeldFile HELD_FILES[] = {
    {"Launcher", LAUNCHER_EXECUTABLE, true},
    {"Agent", UPDATER_AGENT_EXECUTABLE, true},
    {"Manifest", CURRENT_VERSION_MANIFEST, false},
};

void PrintTo(const HeldFile& held, std::ostream* out) { *out << held.file; }

class HeldDuringActivation : public ::testing::TestWithParam<HeldFile> {
protected:
    TempDir dir_;
};

TEST_P(HeldDuringActivation, TheErrorNamesTheFileAndTheOldBuildStaysActive) {
    FaultWorld faults(dir_.path());
    const UpdateWorld& world = faults.world;
    const fs::path held = world.install / std::string(GetParam().file);
    // The agent runs from the signed copy the installation was made from, so
    // that holding the installed agent does not stop it from starting.
    faults.agent_program = signed_programs_dir() / std::string(UPDATER_AGENT_EXECUTABLE);

    // Held from the moment the agent says READY: verified, about to install.
    const fs::path release = dir_ / "release";
    std::optional<PipedChild> holder;
    const std::string answer = faults.run_while_application_waits([&] {
        holder.emplace(bin_dir() / "hold_file_win.exe", std::vector<NativeString>{held.native(), release.native()});
        EXPECT_EQ(holder->read_line().value_or("").substr(0, 4), "held");
    });
    ASSERT_EQ(answer, "READY");
    ASSERT_TRUE(holder.has_value());
    publish_file(release, "");
    EXPECT_TRUE(wait_for_process_end(holder->pid(), 60000));

    const std::string error = faults.log.failure_log().value_or("");
    // A held program is met first by activation's check of the installation
    // ("... does not have a valid Authenticode signature (0x00000020)", the
    // sharing violation); the manifest only by its switch, whose text names
    // the step rather than the file.
    if (GetParam().named_by_path) {
        EXPECT_NE(error.find(path_display(held)), std::string::npos) << error;
    } else {
        EXPECT_EQ(error.rfind("installation failed: activate update: ", 0), 0u) << error;
    }
    EXPECT_EQ(current_build(world.install), OLD_BUILD);
    EXPECT_EQ(faults.launched_build(), OLD_BUILD);

    // Once the file is free the next attempt installs the update.
    faults.prepare_next_attempt();
    const RunResult again = faults.run(InstallMode::InProcess);
    EXPECT_EQ(again.exit_status, 0) << again.stdout_bytes << faults.log.failure_log().value_or("");
    EXPECT_EQ(current_build(world.install), NEW_BUILD);
    EXPECT_EQ(faults.launched_build(), NEW_BUILD);
}

INSTANTIATE_TEST_SUITE_P(FaultInjection, HeldDuringActivation, ::testing::ValuesIn(HELD_FILES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tessaryndle::test
