#include "tests/support/plan_fixture.h"

#include "common/constants.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace tessaryndle::test {

InstallPlan valid_plan(const std::filesystem::path& session) {
    InstallPlan plan;
    plan.schema = INSTALL_PLAN_SCHEMA_VERSION;
    plan.nonce = std::string(TEST_NONCE);
    plan.app_name = "Tessaryndle";
    plan.application_id = std::string(TRUSTED_APPLICATION_ID);
    plan.platform = "windows-x86_64";
    plan.version = "2.4.0";
    plan.build = "2.4.0";
    plan.archive_path = session / "archive.zip";
    plan.staging_directory = session / "staging";
    plan.install_source = session / "staging" / "payload";
    plan.install_target = session / "install";
    plan.relaunch_path = session / "install" / std::string(LAUNCHER_EXECUTABLE);
    plan.parent_pid = 4242;
    plan.public_key = std::string(agent::TRUSTED_RELEASE_PUBLIC_KEY);
    plan.artifact.url = "https://updates.example.com/tessaryndle/2.4.0/tessaryndle-2.4.0.zip";
    plan.artifact.content_length = 1024;
    plan.artifact.ed25519_signature = std::string(88, 'A');
    plan.artifact.sha256 = std::nullopt;
    plan.fallback_progress_delay_ms = 1500;
    return plan;
}

nlohmann::ordered_json plan_document(const InstallPlan& plan) {
    auto text = [](const std::filesystem::path& path) { return path_display(path); };
    nlohmann::ordered_json artifact;
    artifact["url"] = plan.artifact.url;
    artifact["content_length"] = plan.artifact.content_length;
    artifact["ed25519_signature"] = plan.artifact.ed25519_signature;
    artifact["sha256"] = plan.artifact.sha256 ? nlohmann::ordered_json(*plan.artifact.sha256) : nullptr;

    nlohmann::ordered_json document;
    document["schema"] = plan.schema;
    document["nonce"] = plan.nonce;
    document["app_name"] = plan.app_name;
    document["application_id"] = plan.application_id;
    document["platform"] = plan.platform;
    document["version"] = plan.version;
    document["build"] = plan.build;
    document["archive_path"] = text(plan.archive_path);
    document["staging_directory"] = text(plan.staging_directory);
    document["install_source"] = text(plan.install_source);
    document["install_target"] = text(plan.install_target);
    document["relaunch_path"] = text(plan.relaunch_path);
    document["parent_pid"] = plan.parent_pid;
    document["public_key"] = plan.public_key;
    document["artifact"] = artifact;
    document["fallback_progress_delay_ms"] = plan.fallback_progress_delay_ms;
    return document;
}

std::string plan_text(const nlohmann::ordered_json& document) {
    // Strings in plans are valid UTF-8; replace anything else rather than throw.
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string plan_text(const InstallPlan& plan) { return plan_text(plan_document(plan)); }

std::filesystem::path write_plan(const std::filesystem::path& directory, std::string_view text) {
    std::filesystem::create_directories(directory);
    const auto path = directory / "plan.json";
    write_file(path, text);
    return path;
}

}  // namespace tessaryndle::test
