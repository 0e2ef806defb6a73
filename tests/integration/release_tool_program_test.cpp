// The built release tool as the people who ship releases run it: a key it
// generates signs archives that the agent's verification accepts, natively
// its keys are openssl's and openssl's are its own, and the agent program
// itself accepts what it signs and refuses a changed byte with the text the
// tool prints.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "agent/verification/verify.h"
#include "client/updater_client.h"
#include "common/base64.h"
#include "tests/support/agent_runner.h"
#include "tests/support/environment.h"
#include "tests/support/release_signing.h"
#include "tests/support/run_program.h"
#include "tests/support/test_support.h"
#include "tests/support/zip_writer.h"
#include "tools/release/release_key.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace tessaryndle::test {
namespace {

namespace fs = std::filesystem;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

class ReleaseToolProgram : public ::testing::Test {
protected:
    ToolRun tool(const std::vector<std::string>& arguments) const {
        RunOptions options;
        options.arguments = native_args(arguments);
        options.stderr_file = dir_ / "stderr.txt";
        const RunResult result = run_program(bin_dir() / "tessaryndle-release.exe", options);
        return {result.exit_status, result.stdout_bytes, read_file(dir_ / "stderr.txt")};
    }
    // Runs a host program natively (openssl), its output captured.
    static std::string host(const std::string& program, const std::vector<std::string>& arguments) {
        RunOptions options;
        options.arguments = native_args(arguments);
        const RunResult result = run_program(program, options);
        EXPECT_EQ(result.exit_status, 0) << program << " " << result.start_error;
        return result.stdout_bytes;
    }
    fs::path write_archive() const {
        std::vector<ZipEntryFields> entries;
        for (const std::string name : {"tessaryndle-app.exe", "Tessaryndle.exe", "tessaryndle-updater-agent.exe"}) {
            ZipEntryFields entry;
            entry.name = "payload/" + name;
            entry.data = "MZ " + name;
            entries.push_back(entry);
        }
        write_file(archive_, make_zip(entries));
        return archive_;
    }
    std::string text(const fs::path& path) const { return path_display(path); }

    TempDir dir_;
    fs::path archive_ = dir_ / "update.zip";
};

TEST_F(ReleaseToolProgram, GeneratedKeySignsWhatTheAgentAccepts) {
    const fs::path key = dir_ / "release_private_key.pem";
    const ToolRun generated = tool({"generate-key", "--out", text(key)});
    ASSERT_EQ(generated.status, 0) << generated.err;
    ASSERT_EQ(generated.out.size(), 45u) << generated.out;
    const std::string public_key = generated.out.substr(0, 44);
    EXPECT_EQ(generated.out.back(), '\n');
    ASSERT_EQ(base64_decode(public_key).value_or(std::vector<std::uint8_t>{}).size(), 32u);
    EXPECT_EQ(generated.err, "");

    // The file holds the private key the printed public key belongs to, and
    // only its owner may read it.
    const std::string pem = read_file(key);
    const auto parsed = release::ReleaseKey::from_pem(pem);
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->public_key_text(), public_key);
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(::stat(key.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
#endif

    // A key is never overwritten.
    const ToolRun again = tool({"generate-key", "--out", text(key)});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.err, text(key) + " already exists; a key file is never overwritten\n");
    EXPECT_EQ(read_file(key), pem);

    // Signed with it, the archive passes the agent's verification under the
    // printed key, in-process and through the tool's verify.
    write_archive();
    const ToolRun signed_run = tool({"sign", text(archive_), "--key", text(key), "--url", "https://example.com/u.zip"});
    ASSERT_EQ(signed_run.status, 0) << signed_run.err;
    const auto record = nlohmann::json::parse(signed_run.out);
    agent::VerifiedArtifact artifact;
    artifact.content_length = record["content_length"];
    artifact.ed25519_signature = record["ed25519_signature"];
    artifact.sha256 = record["sha256"];
    const auto verified = agent::verify_artifact(archive_, artifact, public_key);
    EXPECT_TRUE(verified) << verified.error().display();
    const ToolRun checked = tool({"verify", text(archive_), "--public-key", public_key, "--signature",
                                  artifact.ed25519_signature, "--sha256", *artifact.sha256});
    EXPECT_EQ(checked.status, 0) << checked.err;
    EXPECT_EQ(checked.out, "verified\n");

    // Natively openssl reads the key, derives the same public key, and signs
    // to the same bytes (Ed25519 signatures are deterministic); a key that
    // openssl made signs through the tool.
    if constexpr (!on_windows()) {
        const std::string der = host("/usr/bin/openssl", {"pkey", "-in", text(key), "-pubout", "-outform", "DER"});
        ASSERT_GE(der.size(), 32u);
        const std::string raw = der.substr(der.size() - 32);
        EXPECT_EQ(base64_encode(std::span(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size())), public_key);
        const std::string signature =
            host("/usr/bin/openssl", {"pkeyutl", "-sign", "-rawin", "-inkey", text(key), "-in", text(archive_)});
        EXPECT_EQ(base64_encode(std::span(reinterpret_cast<const std::uint8_t*>(signature.data()), signature.size())),
                  artifact.ed25519_signature);

        const fs::path openssl_key = dir_ / "openssl_key.pem";
        host("/usr/bin/openssl", {"genpkey", "-algorithm", "ed25519", "-out", text(openssl_key)});
        const ToolRun by_openssl_key = tool({"sign", text(archive_), "--key", text(openssl_key)});
        ASSERT_EQ(by_openssl_key.status, 0) << by_openssl_key.err;
        const std::string openssl_der =
            host("/usr/bin/openssl", {"pkey", "-in", text(openssl_key), "-pubout", "-outform", "DER"});
        const std::string openssl_raw = openssl_der.substr(openssl_der.size() - 32);
        agent::VerifiedArtifact other;
        other.content_length = artifact.content_length;
        other.ed25519_signature = nlohmann::json::parse(by_openssl_key.out)["ed25519_signature"];
        EXPECT_TRUE(agent::verify_artifact(
            archive_, other,
            base64_encode(std::span(reinterpret_cast<const std::uint8_t*>(openssl_raw.data()), openssl_raw.size()))));
    }
}

TEST_F(ReleaseToolProgram, TheAgentProgramAcceptsWhatItSignsAndRefusesAChangedByte) {
    // The test release key (written by openssl) is the one this build's
    // agent trusts.
    write_archive();
    const std::string key = text(source_dir() / "tests" / "keys" / "test_release_private_key.pem");
    const ToolRun signed_run = tool({"sign", text(archive_), "--key", key, "--url", "https://example.com/u.zip"});
    ASSERT_EQ(signed_run.status, 0) << signed_run.err;
    const auto record = nlohmann::json::parse(signed_run.out);

    // The plan as the application writes it with the client library. Its
    // "install_source" does not exist: the agent gets past the archive and
    // stops at the payload, which shows that it accepted the archive.
    const client::UpdateSession session(dir_ / "session", std::string(48, 'n'));
    fs::create_directories(session.directory());
    client::UpdateRequest request;
    request.app_name = "Tessaryndle";
    request.platform = "windows-x86_64";
    request.version = request.build = "3.0.0";
    request.archive_path = archive_;
    request.install_source = dir_ / "no-payload";
    request.install_target = dir_ / "install";
    request.relaunch_path = dir_ / "install" / "Tessaryndle.exe";
    request.public_key = test_release_public_key();
    request.artifact = {record["url"], record["content_length"], record["ed25519_signature"],
                        record["sha256"].get<std::string>()};
    const auto plan = client::write_install_plan(session, request);
    ASSERT_TRUE(plan) << plan.error().display();

    const AgentRunner agent;
    const auto agent_says = [&] {
        const RunResult result = agent.run({path_from_utf8("--install-plan").native(), plan->native()});
        EXPECT_EQ(result.exit_status, 1) << result.start_error;
        return result.stdout_bytes;
    };
    EXPECT_EQ(agent_says(),
              "ERROR:the update artifact is invalid: Windows update is missing its application, launcher, or updater "
              "agent\n");

    std::string bytes = read_file(archive_);
    bytes[bytes.size() / 3] ^= 0x40;
    write_file(archive_, bytes);
    const ToolRun refused = tool({"verify", text(archive_), "--public-key", test_release_public_key(), "--signature",
                                  record["ed25519_signature"], "--length", std::to_string(bytes.size())});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err,
              "the update signature is invalid: signature error: Verification equation was not satisfied\n");
    // Without the digest in the plan the agent's verdict comes from the
    // signature too, with the same text.
    request.artifact.sha256.reset();
    ASSERT_TRUE(client::write_install_plan(session, request));
    EXPECT_EQ(agent_says(), "ERROR:" + refused.err);
}

}  // namespace
}  // namespace tessaryndle::test
