#include "agent/plan.h"

#include <ada.h>

#include <utility>
#include <vector>

#include "agent/artifact_url.h"
#include "common/constants.h"
#include "common/path_rules.h"
#include "common/strict_json.h"
#include "platform/text.h"
#include "platform/files.h"

namespace tessaryndle::agent {
namespace {

using json::FieldSpec;
using json::FieldType;
using json::RecordSpec;

// Field tables in document order; the order is also that of the array form.
enum ArtifactField : std::size_t { URL, CONTENT_LENGTH, ED25519_SIGNATURE, SHA256 };
constexpr FieldSpec ARTIFACT_FIELDS[] = {
    {"url", FieldType::Text},
    {"content_length", FieldType::U64},
    {"ed25519_signature", FieldType::Text},
    {"sha256", FieldType::OptionalText},
};
constexpr RecordSpec ARTIFACT_RECORD{"SerializableArtifact", ARTIFACT_FIELDS};

enum PlanField : std::size_t {
    SCHEMA,
    NONCE,
    APP_NAME,
    APPLICATION_ID,
    PLATFORM,
    VERSION,
    BUILD,
    ARCHIVE_PATH,
    STAGING_DIRECTORY,
    INSTALL_SOURCE,
    INSTALL_TARGET,
    RELAUNCH_PATH,
    PARENT_PID,
    PUBLIC_KEY,
    ARTIFACT,
    FALLBACK_PROGRESS_DELAY_MS,
};
constexpr FieldSpec PLAN_FIELDS[] = {
    {"schema", FieldType::U32},
    {"nonce", FieldType::Text},
    {"app_name", FieldType::Text},
    {"application_id", FieldType::Text},
    {"platform", FieldType::Text},
    {"version", FieldType::Text},
    {"build", FieldType::Text},
    {"archive_path", FieldType::Path},
    {"staging_directory", FieldType::Path},
    {"install_source", FieldType::Path},
    {"install_target", FieldType::Path},
    {"relaunch_path", FieldType::Path},
    {"parent_pid", FieldType::U32},
    {"public_key", FieldType::Text},
    {"artifact", FieldType::Record, &ARTIFACT_RECORD},
    {"fallback_progress_delay_ms", FieldType::U64},
};
constexpr RecordSpec PLAN_RECORD{"InstallPlan", PLAN_FIELDS};

}  // namespace

Result<InstallPlan> parse_install_plan(std::string_view bytes) {
    auto record = json::read_record(bytes, PLAN_RECORD);
    if (!record) {
        return fail(std::move(record.error()));
    }
    const json::Record& artifact = record->record(ARTIFACT);
    InstallPlan plan;
    plan.schema = static_cast<std::uint32_t>(record->number(SCHEMA));
    plan.nonce = record->text(NONCE);
    plan.app_name = record->text(APP_NAME);
    plan.application_id = record->text(APPLICATION_ID);
    plan.platform = record->text(PLATFORM);
    plan.version = record->text(VERSION);
    plan.build = record->text(BUILD);
    plan.archive_path = path_from_utf8(record->text(ARCHIVE_PATH));
    plan.staging_directory = path_from_utf8(record->text(STAGING_DIRECTORY));
    plan.install_source = path_from_utf8(record->text(INSTALL_SOURCE));
    plan.install_target = path_from_utf8(record->text(INSTALL_TARGET));
    plan.relaunch_path = path_from_utf8(record->text(RELAUNCH_PATH));
    plan.parent_pid = static_cast<std::uint32_t>(record->number(PARENT_PID));
    plan.public_key = record->text(PUBLIC_KEY);
    plan.artifact.url = artifact.text(URL);
    plan.artifact.content_length = artifact.number(CONTENT_LENGTH);
    plan.artifact.ed25519_signature = artifact.text(ED25519_SIGNATURE);
    plan.artifact.sha256 = artifact.optional_text(SHA256);
    plan.fallback_progress_delay_ms = record->number(FALLBACK_PROGRESS_DELAY_MS);
    return plan;
}

Result<InstallPlan> load_install_plan(const std::filesystem::path& path) {
    // 1.-3. One open that does not follow a final link, the check on that
    //    handle, and the read from it: a link to a plan is not a plan, and a
    //    link swapped in after the check is never read.
    const auto bytes = platform::read_regular_file_no_follow(path);
    if (!bytes) {
        if (bytes.error().not_regular) {
            return fail(UpdateError::installation("install plan is not a regular file"));
        }
        return fail(UpdateError::io(path, bytes.error().error));
    }
    auto plan = parse_install_plan(*bytes);
    if (!plan) {
        return plan;
    }
    // 4. The nonce becomes a directory name of the elevated worker, so it
    //    must stay exactly one name there: nothing Windows would trim,
    //    redirect to a device or refuse.
    if (plan->schema != INSTALL_PLAN_SCHEMA_VERSION || plan->nonce.size() != INSTALL_PLAN_NONCE_LENGTH ||
        !path_rules::is_plain_component(plan->nonce) || !path_rules::is_stable_windows_name(plan->nonce)) {
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

}  // namespace tessaryndle::agent
