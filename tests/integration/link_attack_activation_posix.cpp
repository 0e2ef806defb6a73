// Activation never acts through a link planted inside the installation.
// Each row plants a symbolic link where the installation has a directory or
// a file of its own, pointing at something elsewhere; the real activation
// must refuse with the stated error before it changes anything, and what the
// link points at must be left exactly as it was, byte for byte.
//
// Native only: Wine cannot make junctions and does not show Unix links as
// the reparse points Windows has.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "common/constants.h"
#include "tests/support/authenticode_fixture.h"
#include "tests/support/installation_builder.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;

fs::path name(std::string_view text) { return fs::path(std::string(text)); }

// Every entry under `root` (links as links) with its type and content.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string key = fs::relative(entry.path(), root).string();
        if (entry.is_symlink()) {
            entries[key] = "link:" + fs::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            entries[key] = "directory";
        } else {
            entries[key] = "file:" + test::read_file(entry.path());
        }
    }
    return entries;
}

struct Row {
    const char* label;
    // Plants the link in the installation `install`, aimed into `elsewhere`.
    std::function<void(const fs::path& install, const fs::path& elsewhere)> plant;
    std::string expected_output;
};

const std::string UNSAFE = "ERROR:installation failed: existing version destination is unsafe\n";

void link_component(const fs::path& install, const fs::path& elsewhere, std::string_view component) {
    // A signed file elsewhere, so that the installation still passes its
    // trust check through the link.
    fs::copy_file(install / name(component), elsewhere / "component.exe");
    fs::remove(install / name(component));
    fs::create_symlink(elsewhere / "component.exe", install / name(component));
}

TEST(LinkAttackActivation, APlantedLinkIsRefusedAndWhatItNamesStaysUntouched) {
    const Row rows[] = {
        {"version store linked elsewhere",
         [](const fs::path& install, const fs::path& elsewhere) {
             // The store moved out, with a directory of the build to install;
             // the manifest still names A through the link.
             fs::rename(install / name(VERSIONS_DIRECTORY), elsewhere / "store");
             fs::create_directories(elsewhere / "store" / "B");
             test::write_file(elsewhere / "store" / "B" / "precious.txt", "precious");
             fs::create_directory_symlink(elsewhere / "store", install / name(VERSIONS_DIRECTORY));
         },
         UNSAFE},
        {"version directory linked elsewhere",
         [](const fs::path& install, const fs::path& elsewhere) {
             test::write_file(elsewhere / "precious.txt", "precious");
             fs::create_directory_symlink(elsewhere, install / name(VERSIONS_DIRECTORY) / "B");
         },
         UNSAFE},
        {"current.json.new linked to a file",
         [](const fs::path& install, const fs::path& elsewhere) {
             test::write_file(elsewhere / "precious.txt", "precious");
             fs::create_symlink(elsewhere / "precious.txt", install / "current.json.new");
         },
         UNSAFE},
        {"launcher linked to a file",
         [](const fs::path& install, const fs::path& elsewhere) {
             link_component(install, elsewhere, LAUNCHER_EXECUTABLE);
         },
         UNSAFE},
        {"agent linked to a file",
         [](const fs::path& install, const fs::path& elsewhere) {
             link_component(install, elsewhere, UPDATER_AGENT_EXECUTABLE);
         },
         UNSAFE},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        test::TempDir dir;
        const fs::path install = dir / "install";
        const fs::path elsewhere = dir / "elsewhere";
        const fs::path payload = dir / "payload";
        test::make_installation(install, "A");
        test::make_payload(payload, "B");
        fs::create_directories(elsewhere);
        row.plant(install, elsewhere);
        const auto before = snapshot(elsewhere);
        const std::string manifest_before = test::read_file(install / name(CURRENT_VERSION_MANIFEST));

        test::RunOptions options;
        options.arguments = {payload.native(), install.native(), "B", "B"};
        options.environment.insert(test::trust_test_root_variable());
        const test::RunResult run = test::run_program(test::bin_dir() / "activate_until.exe", options);

        EXPECT_EQ(run.exit_status, 1) << run.start_error;
        EXPECT_EQ(run.stdout_bytes, row.expected_output);
        const auto after = snapshot(elsewhere);
        for (const auto& [entry, state] : before) {
            const auto found = after.find(entry);
            EXPECT_TRUE(found != after.end() && found->second == state) << entry << " was changed or removed";
        }
        for (const auto& [entry, state] : after) EXPECT_TRUE(before.contains(entry)) << entry << " was added";
        EXPECT_EQ(test::read_file(install / name(CURRENT_VERSION_MANIFEST)), manifest_before);
        EXPECT_TRUE(fs::exists(payload / name(APPLICATION_EXECUTABLE)));
    }
}

}  // namespace
}  // namespace tessaryndle
