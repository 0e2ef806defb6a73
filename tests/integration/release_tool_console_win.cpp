// The release tool in the user's console: it writes UTF-8 there and leaves
// the console's output code page as it found it, since the shell that
// started it goes on writing to the same console in the code page it chose.

#include <windows.h>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/test_support.h"

namespace tessaryndle::test {
namespace {

TEST(ReleaseToolConsole, LeavesTheOutputCodePageAsItFoundIt) {
    // Under CTest the test has pipes and no console it can use (Wine refuses
    // AllocConsole until the process has left the one it was given): it makes
    // one of its own, which the tool then shares.
    const bool allocated = GetConsoleOutputCP() == 0 && (FreeConsole(), AllocConsole());
    const UINT original = GetConsoleOutputCP();
    ASSERT_NE(original, 0u) << "no console";
    for (const UINT page : {850u, 1252u}) {
        SCOPED_TRACE(page);
        ASSERT_TRUE(SetConsoleOutputCP(page));
        RunOptions options;
        options.arguments = native_args({"--help"});
        const RunResult result = run_program(bin_dir() / "tessaryndle-release.exe", options);
        EXPECT_EQ(result.exit_status, 0) << result.start_error;
        EXPECT_TRUE(result.stdout_bytes.starts_with("usage: tessaryndle-release")) << result.stdout_bytes;
        EXPECT_EQ(GetConsoleOutputCP(), page);
    }
    SetConsoleOutputCP(original);
    if (allocated) FreeConsole();
}

}  // namespace
}  // namespace tessaryndle::test
