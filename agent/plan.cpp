#include "agent/plan.h"

#include <ada.h>

#include <utility>
#include <vector>

#include "agent/artifact_url.h"
#include "common/constants.h"
#include "common/path_rules.h"
#include "common/json_records.h"
#include "platform/text.h"
#include "platform/files.h"
#include "platform/known_folders.h"
#include "platform/remove_tree.h"

namespace tessaryndle::agent {
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

// The elevated worker's session directories live in
// %PROGRAMDATA%\{application_id}\Updater.
constexpr std::string_view SESSION_ROOT_NAME = "Updater";

}  // namespace

Result<InstallPlan> parse_install_plan(std::string_view bytes) { return json::read_record(bytes, PLAN_LAYOUT); }

Result<InstallPlan> load_install_plan(const std::filesystem::path& path) {
    // 1. The entry itself: a link to a plan is not a plan.
    const auto info = platform::file_info_no_follow(path);
    if (!info) {
        return fail(UpdateError::io(path, info.error()));
    }
    // 2.
    if (!info->regular()) {
        return fail(UpdateError::installation("install plan is not a regular file"));
    }
    // 3.
    const auto bytes = platform::read_whole_file(path);
    if (!bytes) {
        return fail(UpdateError::io(path, bytes.error()));
    }
    auto plan = parse_install_plan(*bytes);
    if (!plan) {
        return plan;
    }
    // 4. The nonce becomes a directory name of the elevated worker, so it
    //    must not be able to point anywhere else.
    if (plan->schema != INSTALL_PLAN_SCHEMA_VERSION || plan->nonce.size() != INSTALL_PLAN_NONCE_LENGTH ||
        !path_rules::is_plain_component(plan->nonce)) {
        return fail(UpdateError::installation("install plan schema or nonce is invalid"));
    }
    return plan;
}

Result<void> check_trusted_release(const InstallPlan& plan) {
    if (plan.application_id != TRUSTED_APPLICATION_ID || plan.public_key != TRUSTED_RELEASE_PUBLIC_KEY) {
        return fail(UpdateError::installation("the install plan does not target a trusted Tessaryndle release"));
    }
    return {};
}

Result<VerifiedArtifact> validate_artifact_url(const SerializableArtifact& artifact) {
    const auto url = ada::parse<ada::url_aggregator>(artifact.url);
    if (!url) {
        return fail(UpdateError::invalid_artifact("install plan artifact URL is invalid: " +
                                                  std::string(describe_url_failure(artifact.url))));
    }
    VerifiedArtifact verified;
    verified.url = std::string(url->get_href());
    verified.ed25519_signature = artifact.ed25519_signature;
    verified.sha256 = artifact.sha256;
    verified.content_length = artifact.content_length;
    return verified;
}

void remove_privileged_session_directory(const InstallPlan& plan) {
    // 1. S, the session directory, must have a plain final name.
    const std::filesystem::path session = plan.staging_directory.parent_path();
    if (session.empty() || !path_rules::is_plain_component(path_display(session.filename()))) {
        return;
    }
    // 2. R, the root of all session directories. Without PROGRAMDATA (or with
    //    a relative one) R would depend on the working directory: remove
    //    nothing. The application identifier must be one component.
    const auto program_data = platform::program_data_folder();
    if (!program_data || !program_data->is_absolute() || !path_rules::is_plain_component(plan.application_id)) {
        return;
    }
    const std::filesystem::path root =
        *program_data / path_from_utf8(plan.application_id) / std::string(SESSION_ROOT_NAME);
    // 3-4. S must lie directly inside R.
    const std::filesystem::path parent = session.parent_path();
    if (parent.empty() || !path_rules::same_components(parent, root)) {
        return;
    }
    // 5. Links inside are removed as links, never followed.
    static_cast<void>(platform::remove_tree(session));
}

}  // namespace tessaryndle::agent
