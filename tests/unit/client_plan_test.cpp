// The application-side library's plans, read back by the agent's own plan
// reader: what the application writes is what the agent accepts.

#include <gtest/gtest.h>

#include <set>

#include "agent/plan/plan.h"
#include "client/updater_client.h"
#include "common/path_rules.h"
#include "tests/support/release_signing.h"
#include "tests/support/test_support.h"

namespace tessaryndle::client {
namespace {

namespace fs = std::filesystem;

UpdateRequest request_in(const fs::path& session) {
    UpdateRequest request;
    request.app_name = "Tessaryndle";
    request.platform = "windows-x86_64";
    request.version = "2.5.0";
    request.build = "2.5.0+7";
    request.archive_path = session / "update.zip";
    request.install_source = session / "staging" / "pkg";
    request.install_target = session / "Programs" / path_from_utf8("Tessaryndle \u00e9\u2713");
    request.relaunch_path = request.install_target / "Tessaryndle.exe";
    request.public_key = test::test_release_public_key();
    request.artifact = {"https://updates.example.com/2.5.0.zip", 123456, std::string(86, 'A') + "==", std::nullopt};
    request.fallback_progress_delay_ms = 18446744073709551615ull;
    return request;
}

TEST(ClientNonce, IsFreshAndAStableWindowsName) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const auto nonce = new_nonce();
        ASSERT_TRUE(nonce) << nonce.error().display();
        SCOPED_TRACE(*nonce);
        EXPECT_EQ(nonce->size(), INSTALL_PLAN_NONCE_LENGTH);
        EXPECT_EQ(nonce->find_first_not_of("abcdefghijklmnopqrstuvwxyz234567"), std::string::npos);
        // The agent names the elevated worker's directory after it.
        EXPECT_TRUE(path_rules::is_stable_windows_name(*nonce));
        EXPECT_TRUE(path_rules::is_plain_component(*nonce));
        EXPECT_TRUE(seen.insert(*nonce).second);
    }
    // 240 random bits: every symbol turns up across 200 nonces.
    std::set<char> symbols;
    for (const auto& nonce : seen) symbols.insert(nonce.begin(), nonce.end());
    EXPECT_EQ(symbols.size(), 32u);
}

TEST(ClientPlan, IsReadBackByTheAgentAsWritten) {
    test::TempDir root;
    const auto session = UpdateSession::create(root / "updates");
    ASSERT_TRUE(session) << session.error().display();
    EXPECT_EQ(session->directory(), root / "updates" / session->nonce());
    EXPECT_TRUE(fs::is_directory(session->directory()));

    UpdateRequest request = request_in(session->directory());
    request.artifact.sha256 = std::string(64, 'F');
    const auto written = write_install_plan(*session, request);
    ASSERT_TRUE(written) << written.error().display();
    EXPECT_EQ(*written, session->directory() / "plan.json");
    EXPECT_FALSE(fs::exists(session->directory() / "plan.json.new"));

    const auto plan = agent::load_install_plan(*written);
    ASSERT_TRUE(plan) << plan.error().display();
    EXPECT_TRUE(agent::check_trusted_release(*plan));
    EXPECT_TRUE(agent::validate_artifact_url(plan->artifact));
    EXPECT_EQ(plan->schema, INSTALL_PLAN_SCHEMA_VERSION);
    EXPECT_EQ(plan->nonce, session->nonce());
    EXPECT_EQ(plan->app_name, request.app_name);
    EXPECT_EQ(plan->platform, request.platform);
    EXPECT_EQ(plan->version, request.version);
    EXPECT_EQ(plan->build, request.build);
    EXPECT_EQ(plan->archive_path, request.archive_path);
    EXPECT_EQ(plan->staging_directory, session->staging_directory());
    EXPECT_EQ(plan->install_source, request.install_source);
    EXPECT_EQ(plan->install_target, request.install_target);
    EXPECT_EQ(plan->relaunch_path, request.relaunch_path);
    EXPECT_EQ(plan->parent_pid, current_process_id());
    EXPECT_EQ(plan->artifact.url, request.artifact.url);
    EXPECT_EQ(plan->artifact.content_length, request.artifact.content_length);
    EXPECT_EQ(plan->artifact.ed25519_signature, request.artifact.ed25519_signature);
    EXPECT_EQ(plan->artifact.sha256, request.artifact.sha256);
    EXPECT_EQ(plan->fallback_progress_delay_ms, request.fallback_progress_delay_ms);

    // A second plan for the same session replaces the first whole.
    request.artifact.sha256.reset();
    request.version = "2.5.1";
    ASSERT_TRUE(write_install_plan(*session, request));
    const auto replaced = agent::load_install_plan(*written);
    ASSERT_TRUE(replaced) << replaced.error().display();
    EXPECT_EQ(replaced->version, "2.5.1");
    EXPECT_EQ(replaced->artifact.sha256, std::nullopt);
}

// The agent leaves the directory it was started in, and its elevated worker
// runs in another: the plan names every file absolutely, from the
// application's directory.
TEST(ClientPlan, RelativePathsAreWrittenFromTheCurrentDirectory) {
    test::TempDir root;
    const fs::path previous = fs::current_path();
    fs::current_path(root.path());
    const fs::path here = fs::current_path();
    const UpdateSession session(fs::path("updates") / std::string(48, 'a'), std::string(48, 'a'));
    const UpdateRequest request = request_in("updates");
    const auto text = install_plan_text(request, session, 1);
    fs::current_path(previous);
    ASSERT_TRUE(text) << text.error().display();

    const auto plan = parse_install_plan(*text);
    ASSERT_TRUE(plan) << plan.error().display();
    EXPECT_EQ(plan->archive_path, here / request.archive_path);
    EXPECT_EQ(plan->staging_directory, here / session.staging_directory());
    EXPECT_EQ(plan->install_source, here / request.install_source);
    EXPECT_EQ(plan->install_target, here / request.install_target);
    EXPECT_EQ(plan->relaunch_path, here / request.relaunch_path);
}

TEST(ClientPlan, SessionsAreSeparateDirectories) {
    test::TempDir root;
    const auto first = UpdateSession::create(root.path());
    const auto second = UpdateSession::create(root.path());
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->directory(), second->directory());
    EXPECT_EQ(first->plan_path().parent_path(), first->directory());
    EXPECT_EQ(first->staging_directory().parent_path(), first->directory());

    // A root that cannot be a directory: the failure names it.
    test::write_file(root / "file", "x");
    const auto refused = UpdateSession::create(root / "file" / "updates");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), UpdateErrorKind::Io);
}

TEST(ClientPlan, PathThatIsNotUnicodeIsRefused) {
    // Windows paths may hold unpaired surrogates and POSIX paths any bytes;
    // a plan holds UTF-8 text only, so such a path cannot be written into it.
    using Unit = NativeString::value_type;
    const NativeString broken(1, test::on_windows() ? static_cast<Unit>(0xD800) : static_cast<Unit>(0xff));
    test::TempDir root;
    const UpdateSession session(root.path(), std::string(48, 'a'));
    UpdateRequest request = request_in(root.path());
    request.install_target = root.path() / broken;
    const auto text = install_plan_text(request, session, 1);
    ASSERT_FALSE(text);
    EXPECT_TRUE(text.error().display().starts_with("installation failed: install plan path is not valid Unicode: "))
        << text.error().display();
}

}  // namespace
}  // namespace tessaryndle::client
