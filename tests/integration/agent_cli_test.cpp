// The built agent, started with malformed command lines, exactly as the
// application or a user would start it.

#include <gtest/gtest.h>

#include "tests/support/agent_runner.h"

namespace tessaryndle::test {
namespace {

TEST(AgentCommandLine, BadCommandLinesReportOnStdoutAndInTheLog) {
    struct Case {
        std::vector<std::string> args;
        std::string text;
    };
    const Case cases[] = {
        {{}, "installation failed: the updater agent requires --install-plan or --execute-plan"},
        {{"--Install-Plan", "plan.json"},
         "installation failed: the updater agent requires --install-plan or --execute-plan"},
        {{"--install-plan"}, "installation failed: the install plan path is missing"},
        {{"--install-plan", "a b", "c"}, "installation failed: the updater agent received unexpected arguments"},
        {{"--execute-plan", "p", "--result"}, "installation failed: the install result path is missing"},
        {{"--show-progress-after", "1.5"}, "installation failed: the progress delay is invalid"},
    };
    AgentRunner agent;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        agent.remove_failure_log();
        const RunResult result = agent.run_utf8(c.args);
        EXPECT_EQ(result.exit_status, 1) << result.start_error;
        EXPECT_EQ(result.stdout_bytes, "ERROR:" + c.text + "\n");
        EXPECT_EQ(agent.failure_log(), c.text);
    }
}

TEST(AgentCommandLine, MissingPlanFileIsAnIoErrorNamingThePath) {
    AgentRunner agent;
    TempDir dir;
    const auto plan = dir / "no-such-plan.json";
    const RunResult missing = agent.run({native_args({"--install-plan"})[0], plan.native()});
    EXPECT_EQ(missing.exit_status, 1);
    const std::string prefix = "ERROR:I/O error at " + plan.string() + ": ";
    EXPECT_TRUE(missing.stdout_bytes.starts_with(prefix)) << missing.stdout_bytes;
    EXPECT_TRUE(missing.stdout_bytes.ends_with(" (os error 2)\n")) << missing.stdout_bytes;
}

TEST(AgentCommandLine, FailureLogDirectoryBlockedStillReportsOnStdout) {
    AgentRunner agent;
    const auto updater = agent.failure_log_path().parent_path();
    std::error_code ec;
    std::filesystem::remove_all(updater, ec);
    std::filesystem::create_directories(updater.parent_path());
    write_file(updater, "a file where the log directory belongs");
    const RunResult result = agent.run_utf8({});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.stdout_bytes,
              "ERROR:installation failed: the updater agent requires --install-plan or --execute-plan\n");
    EXPECT_EQ(read_file(updater), "a file where the log directory belongs");
    std::filesystem::remove(updater);
}

TEST(AgentCommandLine, RunWithoutStandardOutputStillWritesTheLog) {
    AgentRunner agent;
    const RunResult result = agent.run(native_args({"--install-plan"}), /*capture_stdout=*/false);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(agent.failure_log(), "installation failed: the install plan path is missing");
}

}  // namespace
}  // namespace tessaryndle::test
