// The elevated launch of the Windows build, starting a recording stand-in in
// the worker's place. Test builds start it as the elevation service would
// (Wine carries out "runas" like any start): in the system directory, with
// an environment built for the user.

#include <gtest/gtest.h>

#include "agent/elevation/process.h"
#include "platform/working_directory.h"
#include "tests/support/environment.h"
#include "tests/support/eventually.h"
#include "tests/support/recorded_start.h"
#include "tests/support/test_support.h"

namespace tessaryndle {
namespace {

namespace fs = std::filesystem;

TEST(LaunchElevatedWorker, RunasStartsTheWorkerWithExactlyItsFourArguments) {
    struct Case {
        const wchar_t* plan;
        const wchar_t* result;
    };
    const Case cases[] = {
        {LR"(C:\Users\U\S\plan.json)", LR"(C:\Users\U\S\install-result.json)"},
        {LR"(C:\Users\Jo Doe\App Data\S\plan.json)", LR"(C:\Users\Jo Doe\App Data\S\install-result.json)"},
        {LR"(C:\trailing space \)", LR"(C:\two\\)"},
        {L"C:\\\u00e9t\u00e9\\plan.json", L"relative\\install-result.json"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(path_display(c.plan));
        test::TempDir temp;
        const fs::path worker = test::install_record_helper(temp.path(), "tessaryndle-updater-agent.exe");
        const auto launched = agent::launch_elevated_program(worker, c.plan, c.result);
        ASSERT_TRUE(launched) << launched.error().display();
        const auto record = test::wait_for_record(temp.path());
        ASSERT_TRUE(record.has_value());
        const std::vector<NativeString> expected = {L"--execute-plan", c.plan, L"--result", c.result};
        EXPECT_EQ(record->arguments, expected);
        // Where the elevation service starts it on Windows, never ours.
        EXPECT_EQ(fs::path(record->cwd), platform::steady_directory().value());
    }
}

// The wait for the worker's result watches the worker's process, which the
// shell hands back.
TEST(LaunchElevatedWorker, TheWorkerShowsAsEndedOnlyOnceItHasEnded) {
    test::TempDir temp;
    const fs::path worker = test::install_record_helper(temp.path(), "tessaryndle-updater-agent.exe");
    // Started as the elevation service starts it, the worker does not see
    // the test's environment.
    test::write_file(temp / "record-hold.txt", path_display(temp / "release"));
    const auto launched = agent::launch_elevated_program(worker, temp / "plan.json", temp / "install-result.json");
    ASSERT_TRUE(launched) << launched.error().display();
    ASSERT_TRUE(test::wait_for_record(temp.path()).has_value());
    EXPECT_FALSE(launched->has_ended());
    test::write_file(temp / "release", "");
    EXPECT_TRUE(test::eventually([&] { return launched->has_ended(); }));
}

}  // namespace
}  // namespace tessaryndle
