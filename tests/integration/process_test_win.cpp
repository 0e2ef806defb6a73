// The elevated launch of the Windows build: ShellExecuteExW with "runas",
// which Wine carries out without a consent prompt, starting a recording
// stand-in in the worker's place.

#include <gtest/gtest.h>

#include "agent/process.h"
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
    }
}

}  // namespace
}  // namespace tessaryndle
