// The native progress window without a display. (What it looks like on a
// display is checked from the X server's side by
// tests/support/progress_window_x11.sh.)

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

TEST(ProgressWindowNative, WithoutADisplayTheHelperFailsHonestly) {
    test::TempDir data;
    test::RunOptions options;
    options.arguments =
        test::native_args({"--show-progress-after", "0", "--app-name", "Tessaryndle", "--app-path", "/nonexistent"});
    options.unset_environment = {"DISPLAY", "WAYLAND_DISPLAY"};
    options.environment["XDG_DATA_HOME"] = data.path().string();
    options.timeout = std::chrono::seconds(60);
    const auto result = test::run_program(test::bin_dir() / "tessaryndle-updater-agent.exe", options);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.stdout_bytes,
              "ERROR:installation failed: the progress window cannot be shown: no graphical display is available\n");
}

}  // namespace
}  // namespace tessaryndle
