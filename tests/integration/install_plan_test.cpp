// The built agent in install-plan mode, started on plans it must refuse, the
// way the application starts it: the refusal is the one "ERROR:" line on
// standard output, exit status 1 and the failure log, and nothing else on
// disk changes.

#include <gtest/gtest.h>

#include <set>

#include "tests/support/agent_runner.h"
#include "tests/support/plan_fixture.h"

namespace tessaryndle::test {
namespace {

std::set<std::filesystem::path> tree(const std::filesystem::path& root) {
    std::set<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        entries.insert(entry.path());
    }
    return entries;
}

class InstallPlanMode : public ::testing::Test {
protected:
    AgentRunner agent;
    TempDir dir;
    std::filesystem::path session = dir / "session";

    // Runs the agent on the plan at `plan` and checks the report of `text`.
    void expect_refusal(const std::filesystem::path& plan, const std::string& text) {
        agent.remove_failure_log();
        const auto before = tree(dir.path());
        const RunResult result = agent.run({native_args({"--install-plan"})[0], plan.native()});
        EXPECT_EQ(result.exit_status, 1) << result.start_error;
        EXPECT_EQ(result.stdout_bytes, "ERROR:" + text + "\n");
        EXPECT_EQ(agent.failure_log(), text);
        EXPECT_EQ(tree(dir.path()), before);
    }
};

TEST_F(InstallPlanMode, MalformedPlansAreSerializationErrors) {
    // Positions in the pretty-printed plan: "parent_pid" is on line 14, the
    // artifact's closing brace on line 20 once its "url" is gone, and the
    // plan's own closing brace on line 23.
    auto document = plan_document(valid_plan(session));
    document["artifact"].erase("url");
    expect_refusal(write_plan(session, plan_text(document)),
                   "serialization failed: missing field `url` at line 20 column 3");

    expect_refusal(write_plan(session, plan_text(valid_plan(session)) + "\n{}"),
                   "serialization failed: trailing characters at line 24 column 1");

    document = plan_document(valid_plan(session));
    document["parent_pid"] = -1;
    expect_refusal(write_plan(session, plan_text(document)),
                   "serialization failed: invalid value: integer `-1`, expected u32 at line 14 column 18");
}

TEST_F(InstallPlanMode, PlansThatMustNotBeActedOn) {
    std::filesystem::create_directories(session);
    expect_refusal(session, "installation failed: install plan is not a regular file");

    InstallPlan plan = valid_plan(session);
    plan.nonce = "..\\..\\..\\..\\Windows\\System32\\x" + std::string(18, 'x');
    expect_refusal(write_plan(session, plan_text(plan)),
                   "installation failed: install plan schema or nonce is invalid");

    plan = valid_plan(session);
    plan.application_id += " ";
    expect_refusal(write_plan(session, plan_text(plan)),
                   "installation failed: the install plan does not target a trusted Tessaryndle release");
}

}  // namespace
}  // namespace tessaryndle::test
