// The built agent (a test build that trusts the test release key) in
// install-plan mode on plans that pass loading and the trust rule but whose
// archive or new build must be refused: the refusal is the one "ERROR:"
// line, exit status 1 and the failure log.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/constants.h"
#include "platform/text.h"
#include "tests/support/agent_runner.h"
#include "tests/support/authenticode_fixture.h"
#include "tests/support/plan_fixture.h"
#include "tests/support/release_signing.h"

namespace tessaryndle::test {
namespace {

namespace fs = std::filesystem;

class VerifyPlanMode : public ::testing::Test {
protected:
    VerifyPlanMode() {
        fs::create_directories(dir / "session");
        write_file(plan.archive_path, std::string(3000, 'z'));
        plan.artifact = release_artifact_for(plan.archive_path);
        for (const auto name : {APPLICATION_EXECUTABLE, LAUNCHER_EXECUTABLE, UPDATER_AGENT_EXECUTABLE}) {
            put(plan.install_source, name, authenticode_fixtures().signed_pe);
        }
        for (const auto name : {LAUNCHER_EXECUTABLE, UPDATER_AGENT_EXECUTABLE}) {
            put(plan.install_target, name, authenticode_fixtures().signed_pe);
        }
        write_file(plan.install_target / std::string(CURRENT_VERSION_MANIFEST), "{}");
    }

    static void put(const fs::path& directory, std::string_view name, const fs::path& from) {
        fs::create_directories(directory);
        // Remove first: libstdc++'s overwriting copy fails on Windows.
        fs::remove(directory / std::string(name));
        fs::copy_file(from, directory / std::string(name));
    }

    void expect_report(const std::string& text) {
        agent.remove_failure_log();
        const fs::path plan_path = write_plan(dir / "session", plan_text(plan));
        const RunResult result = agent.run({native_args({"--install-plan"})[0], plan_path.native()});
        EXPECT_EQ(result.exit_status, 1) << result.start_error;
        EXPECT_EQ(result.stdout_bytes, "ERROR:" + text + "\n");
        EXPECT_EQ(agent.failure_log(), text);
    }

    AgentRunner agent;
    TempDir dir;
    InstallPlan plan = valid_plan(dir / "session");
    // Natively the agent inherits the test's trust in the test root; Wine
    // accepts the signature anyway.
    TrustTestRoot trust;
};

TEST_F(VerifyPlanMode, ArchiveShorterThanAnnounced) {
    plan.artifact.content_length = 3001;
    expect_report("the update artifact is invalid: archive is not a regular 3001 byte file");
}

TEST_F(VerifyPlanMode, ArchiveSignedWithAnotherKey) {
    plan.artifact.ed25519_signature = SigningKey::generate().sign_base64(std::string(3000, 'z'));
    expect_report("the update signature is invalid: signature error: Verification equation was not satisfied");
}

TEST_F(VerifyPlanMode, ArchiveWithNonCanonicalScalar) {
    plan.artifact.ed25519_signature = base64_encode(std::string(32, '\0') + std::string(32, '\xff'));
    expect_report("the update signature is invalid: signature error: Cannot use scalar with high-bit set");
}

TEST_F(VerifyPlanMode, PayloadUnsigned) {
    put(plan.install_source, APPLICATION_EXECUTABLE, authenticode_fixtures().unsigned_pe);
    expect_report(
        "the update artifact is invalid: " + path_display(plan.install_source / std::string(APPLICATION_EXECUTABLE)) +
        " does not have a valid Authenticode signature (0x800b0100)");
}

TEST_F(VerifyPlanMode, AVerifiedPlanGetsReadyAndThenWaitsForTheApplication) {
    // Process id 0 can never be opened, so the run ends at the wait, after
    // READY, and installs nothing.
    plan.parent_pid = 0;
    const fs::path plan_path = write_plan(dir / "session", plan_text(plan));
    const RunResult result = agent.run({native_args({"--install-plan"})[0], plan_path.native()});
    EXPECT_EQ(result.exit_status, 1) << result.start_error;
    const std::string expected = "READY\nERROR:installation failed: open application process: ";
    EXPECT_EQ(result.stdout_bytes.rfind(expected, 0), 0u) << result.stdout_bytes;
    EXPECT_EQ(agent.failure_log(), result.stdout_bytes.substr(12, result.stdout_bytes.size() - 13));
    EXPECT_EQ(read_file(plan.install_target / std::string(CURRENT_VERSION_MANIFEST)), "{}");
}

}  // namespace
}  // namespace tessaryndle::test
