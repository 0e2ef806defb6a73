#include "agent/plan/plan.h"

#include <ada.h>

#include "agent/plan/artifact_url.h"
#include "common/constants.h"
#include "common/path_rules.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tessaryndle::agent {

Result<InstallPlan> load_install_plan(const std::filesystem::path& path, platform::ReadAs reader) {
    // 1.-3. One open that does not follow a final link, the check on that
    //    handle, and the read from it: a link to a plan is not a plan, and a
    //    link swapped in after the check is never read.
    const auto bytes = platform::read_regular_file_no_follow(path, reader);
    if (!bytes) {
        if (bytes.error().not_regular) {
            return fail(UpdateError::installation("install plan is not a regular file"));
        }
        if (bytes.error().not_readable_by_user) {
            return fail(
                UpdateError::installation("the install plan is not readable by the user who started the update"));
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
