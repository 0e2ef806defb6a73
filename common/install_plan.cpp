#include "common/install_plan.h"

#include "common/json_records.h"

namespace tessaryndle {
namespace {

// Field tables in document order; the order is also that of the array form.
constexpr json::FieldSpec ARTIFACT_FIELDS[] = {
    json::field<&SerializableArtifact::url>("url"),
    json::field<&SerializableArtifact::content_length>("content_length"),
    json::field<&SerializableArtifact::ed25519_signature>("ed25519_signature"),
    json::field<&SerializableArtifact::sha256>("sha256"),
};
constexpr json::RecordLayout<SerializableArtifact> ARTIFACT_LAYOUT{"SerializableArtifact", ARTIFACT_FIELDS};

constexpr json::FieldSpec PLAN_FIELDS[] = {
    json::field<&InstallPlan::schema>("schema"),
    json::field<&InstallPlan::nonce>("nonce"),
    json::field<&InstallPlan::app_name>("app_name"),
    json::field<&InstallPlan::application_id>("application_id"),
    json::field<&InstallPlan::platform>("platform"),
    json::field<&InstallPlan::version>("version"),
    json::field<&InstallPlan::build>("build"),
    json::field<&InstallPlan::archive_path>("archive_path"),
    json::field<&InstallPlan::staging_directory>("staging_directory"),
    json::field<&InstallPlan::install_source>("install_source"),
    json::field<&InstallPlan::install_target>("install_target"),
    json::field<&InstallPlan::relaunch_path>("relaunch_path"),
    json::field<&InstallPlan::parent_pid>("parent_pid"),
    json::field<&InstallPlan::public_key>("public_key"),
    json::field<&InstallPlan::artifact>("artifact", ARTIFACT_LAYOUT),
    json::field<&InstallPlan::fallback_progress_delay_ms>("fallback_progress_delay_ms"),
};
constexpr json::RecordLayout<InstallPlan> PLAN_LAYOUT{"InstallPlan", PLAN_FIELDS};

}  // namespace

Result<InstallPlan> parse_install_plan(std::string_view bytes) { return json::read_record(bytes, PLAN_LAYOUT); }

Result<std::string> install_plan_text(const InstallPlan& plan) { return json::write_record(plan, PLAN_LAYOUT); }

std::string artifact_record_text(const SerializableArtifact& artifact, bool with_url) {
    constexpr std::string_view URL[] = {"url"};
    const json::WriteOptions options{with_url ? std::span<const std::string_view>() : URL};
    // The record holds no path, the one value without a certain text form.
    return json::write_record(artifact, ARTIFACT_LAYOUT, options).value_or(std::string());
}

}  // namespace tessaryndle
