// The application-side library against the programs it starts: the real
// agent (its "ERROR:" line for a refused archive, "READY" for a plan that
// passes verification), and a stand-in agent for the ways an agent can
// behave badly (a crash mid-line, silence, lines before its answer).

#include <gtest/gtest.h>

#include <chrono>

#include "client/updater_client.h"
#include "tests/support/agent_runner.h"
#include "tests/support/authenticode_fixture.h"
#include "tests/support/environment.h"
#include "tests/support/installation_builder.h"
#include "tests/support/release_signing.h"
#include "tests/support/test_support.h"
#include "tests/support/zip_writer.h"

namespace tessaryndle::client {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ClientHandshake : public ::testing::Test {
protected:
    ClientHandshake() {
        // The real agent's failure log goes to this test's directory
        // natively; under Wine the runner removes it from the prefix.
        if (!test::on_windows()) data_home_.emplace("XDG_DATA_HOME", path_display(dir_ / "data"));
    }

    // A session with a plan whose "app_name" tells the stand-in what to do.
    fs::path plan_for(const std::string& behaviour) {
        const auto session = UpdateSession::create(dir_ / "updates");
        EXPECT_TRUE(session);
        UpdateRequest request;
        request.app_name = behaviour;
        request.public_key = test::test_release_public_key();
        request.artifact.url = "https://example.com/u.zip";
        const auto plan = write_install_plan(*session, request);
        EXPECT_TRUE(plan) << plan.error().display();
        return *plan;
    }

    // A request whose archive, payload and installation pass the agent's
    // verification: the archive signed with the test release key, the
    // executables copies of the Authenticode fixture's signed image.
    UpdateRequest verified_request(const UpdateSession& session) {
        test::make_payload(session.staging_directory() / "payload", "3.0.0");
        test::make_installation(dir_ / "install", "2.0.0");
        test::ZipEntryFields entry;
        entry.name = "payload/tessaryndle-app.exe";
        entry.data = "app";
        const fs::path archive = session.directory() / "update.zip";
        test::write_file(archive, test::make_zip({entry}));
        const auto artifact = test::release_artifact_for(archive);

        UpdateRequest request;
        request.app_name = "Tessaryndle";
        request.platform = "windows-x86_64";
        request.version = request.build = "3.0.0";
        request.archive_path = archive;
        request.install_source = session.staging_directory() / "payload";
        request.install_target = dir_ / "install";
        request.relaunch_path = dir_ / "install" / "Tessaryndle.exe";
        request.public_key = test::test_release_public_key();
        request.artifact = {artifact.url, artifact.content_length, artifact.ed25519_signature, artifact.sha256};
        return request;
    }

    static fs::path real_agent() { return test::bin_dir() / "tessaryndle-updater-agent.exe"; }
    static fs::path stand_in() { return test::bin_dir() / "handshake_agent.exe"; }

    test::TempDir dir_;
    std::optional<test::ScopedEnvironment> data_home_;
    const test::AgentRunner log_cleanup_;
};

TEST_F(ClientHandshake, RealAgentRefusingTheArchiveGivesItsErrorText) {
    const auto session = UpdateSession::create(dir_ / "updates");
    ASSERT_TRUE(session);
    UpdateRequest request = verified_request(*session);
    std::string bytes = test::read_file(request.archive_path);
    bytes[10] ^= 0x01;
    test::write_file(request.archive_path, bytes);
    request.artifact.sha256.reset();
    const auto plan = write_install_plan(*session, request);
    ASSERT_TRUE(plan);

    auto agent = UpdateAgent::start(real_agent(), *plan);
    ASSERT_TRUE(agent) << agent.error().display();
    const auto reply = agent->wait_for_reply();
    ASSERT_TRUE(reply) << reply.error().display();
    EXPECT_EQ(reply->kind, AgentReplyKind::Error);
    EXPECT_EQ(reply->error_text,
              "the update signature is invalid: signature error: Verification equation was not satisfied");
    EXPECT_EQ(reply->exit_code, 1u);
    // A refused plan leaves the session for the application.
    EXPECT_TRUE(fs::exists(*plan));
}

TEST_F(ClientHandshake, RealAgentSaysReadyForAPlanThatPassesVerification) {
    const test::TrustTestRoot trust;  // inherited by the agent natively
    const auto session = UpdateSession::create(dir_ / "updates");
    ASSERT_TRUE(session);
    const auto plan = write_install_plan(*session, verified_request(*session));
    ASSERT_TRUE(plan);

    auto agent = UpdateAgent::start(real_agent(), *plan);
    ASSERT_TRUE(agent) << agent.error().display();
    const auto reply = agent->wait_for_reply();
    ASSERT_TRUE(reply) << reply.error().display();
    if (reply->kind == AgentReplyKind::Error &&
        reply->error_text == "installation failed: the update run is not available in this build") {
        GTEST_SKIP() << "this build's agent stops after verification, before \"READY\"";
    }
    EXPECT_EQ(reply->kind, AgentReplyKind::Ready) << reply->error_text;
    EXPECT_EQ(reply->exit_code, std::nullopt);
    // The agent now waits for this process to end; stop it instead.
    agent->terminate();
    EXPECT_TRUE(agent->wait_for_exit(30s));
}

TEST_F(ClientHandshake, ReadyReturnsWhileTheAgentRuns) {
    auto agent = UpdateAgent::start(stand_in(), plan_for("ready"));
    ASSERT_TRUE(agent) << agent.error().display();
    const auto reply = agent->wait_for_reply();
    ASSERT_TRUE(reply) << reply.error().display();
    EXPECT_EQ(reply->kind, AgentReplyKind::Ready);
    EXPECT_EQ(agent->wait_for_exit(0ms), std::nullopt);
    agent->terminate();
    const auto code = agent->wait_for_exit(30s);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, test::on_windows() ? 1u : 128u + 9u);
}

TEST_F(ClientHandshake, AgentsThatEndWithoutAnAnswer) {
    const struct {
        std::string behaviour;
        AgentReplyKind kind;
        std::string error_text;
        std::uint32_t exit_code;
    } cases[] = {
        // Lines before the answer are skipped; a CR before the LF is dropped.
        {"error", AgentReplyKind::Error, "refused by the stand-in", 1},
        // "REA" without its line end is no "READY": the agent died.
        {"dies", AgentReplyKind::Ended, "", 3},
        {"silent", AgentReplyKind::Ended, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.behaviour);
        auto agent = UpdateAgent::start(stand_in(), plan_for(c.behaviour));
        ASSERT_TRUE(agent) << agent.error().display();
        EXPECT_NE(agent->process_id(), 0u);
        const auto reply = agent->wait_for_reply();
        ASSERT_TRUE(reply) << reply.error().display();
        EXPECT_EQ(reply->kind, c.kind);
        EXPECT_EQ(reply->error_text, c.error_text);
        EXPECT_EQ(reply->exit_code, c.exit_code);
    }

    const fs::path missing = dir_ / "no-agent.exe";
    const auto not_started = UpdateAgent::start(missing, plan_for("ready"));
    ASSERT_FALSE(not_started);
    EXPECT_EQ(not_started.error().kind(), UpdateErrorKind::Io);
    EXPECT_EQ(*not_started.error().path(), missing);
}

}  // namespace
}  // namespace tessaryndle::client
