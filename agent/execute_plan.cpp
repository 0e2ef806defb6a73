#include "agent/execute_plan.h"

#include <atomic>
#include <memory>

#include "agent/activation.h"
#include "agent/authenticode.h"
#include "agent/extract.h"
#include "agent/install_result.h"
#include "agent/modes.h"
#include "agent/privileged_session.h"
#include "agent/process.h"
#include "agent/test_hooks.h"
#include "agent/verify.h"
#include "common/constants.h"
#include "common/path_rules.h"
#include "platform/files.h"
#include "platform/held_directory.h"
#include "platform/input_file.h"

namespace tessaryndle::agent {
namespace {

constexpr std::string_view ARCHIVE_COPY_NAME = "update.zip";
constexpr std::string_view EXTRACTED_DIRECTORY_NAME = "Extracted";

UpdateError outside_session() {
    return UpdateError::installation("the install result path is outside the updater session");
}

// The worker writes the result as administrator into a directory the user
// owns. Holding that directory open, checked to be a plain directory and not
// a link or junction, keeps the write inside the session the plan came from.
Result<platform::HeldDirectory> hold_session_directory(const std::filesystem::path& plan_path) {
    std::filesystem::path directory = plan_path.parent_path();
    if (directory.empty()) directory = ".";
    auto held = platform::HeldDirectory::open_no_follow(directory);
    if (!held) return fail(outside_session());
    return std::move(*held);
}

Result<void> compute_outcome(const std::filesystem::path& plan_path) {
    const auto plan = load_install_plan(plan_path);
    if (!plan) return fail(plan.error());
    if (auto trusted = check_trusted_release(*plan); !trusted) return trusted;
    auto privileged = prepare_privileged_install(*plan);
    if (!privileged) return fail(privileged.error());

    // From here on the session directory is removed whatever happens: it
    // holds nothing anyone needs once this run has ended.
    Result<void> outcome = wait_for_application_exit(plan->parent_pid);
    if (outcome) outcome = activate_update(privileged->plan);
    privileged->session_in_use.reset();
    remove_privileged_session_directory(privileged->plan);
    test_hooks::stop_at("after-privileged-session-removed");
    return outcome;
}

// What prepare_privileged_install does inside its session directory: copy
// the archive, verify and extract that copy, and check the payload it holds.
Result<InstallPlan> prepare_in_session(const InstallPlan& plan, const VerifiedArtifact& artifact,
                                       const std::filesystem::path& session, const std::filesystem::path& extracted) {
    // From here on only the worker's own copy is used; the user's archive
    // could change under us, the copy cannot.
    const std::filesystem::path copy = session / std::string(ARCHIVE_COPY_NAME);
    if (auto copied = platform::copy_file_replace(plan.archive_path, copy); !copied) {
        return fail(UpdateError::io(copy, copied.error()));
    }
    if (auto flushed = platform::flush_entry(copy); !flushed) {
        return fail(UpdateError::io(copy, flushed.error()));
    }
    test_hooks::stop_at("after-archive-copied");

    // The copy is opened once, without following a link, and the file that
    // is verified is the file that is extracted. (Only administrators can
    // change the session directory, so its path could not change either;
    // the one open makes that hold without relying on it.)
    const auto archive = platform::InputFile::open_no_follow(copy);
    if (!archive) return fail(UpdateError::io(copy, archive.error()));
    if (auto verified = verify_artifact(*archive, copy, artifact, plan.public_key); !verified) {
        return fail(verified.error());
    }
    const auto never_cancelled = std::make_shared<const std::atomic<bool>>(false);
    const auto payload_root = extract_update_archive(*archive, copy, extracted, never_cancelled);
    if (!payload_root) return fail(payload_root.error());
    test_hooks::stop_at("after-archive-extracted");
    if (auto payload = verify_update_payload(*payload_root); !payload) return fail(payload.error());

    InstallPlan privileged = plan;
    privileged.archive_path = copy;
    privileged.staging_directory = extracted;
    privileged.install_source = *payload_root;
    return privileged;
}

}  // namespace

Result<void> check_install_result_path(const std::filesystem::path& plan_path,
                                       const std::filesystem::path& result_path) {
    const std::filesystem::path result_parent = result_path.parent_path();
    const std::filesystem::path plan_parent = plan_path.parent_path();
    if (result_parent.empty() != plan_parent.empty()) return fail(outside_session());
    if (!result_parent.empty() && !path_rules::same_components(result_parent, plan_parent))
        return fail(outside_session());
    if (result_path.filename().native() != std::filesystem::path(std::string(INSTALL_RESULT_FILE_NAME)).native()) {
        return fail(outside_session());
    }
    return {};
}

Result<PrivilegedInstall> prepare_privileged_install(const InstallPlan& plan) {
    // The installation and the artifact record, checked again here: nothing
    // the unprivileged side found is taken on trust.
    if (auto installation = verify_installation(plan.install_target); !installation) {
        return fail(installation.error());
    }
    const auto artifact = validate_artifact_url(plan.artifact);
    if (!artifact) return fail(artifact.error());

    // A fresh directory that only administrators can write.
    auto session = create_privileged_session_directory(plan);
    if (!session) return fail(session.error());
    const std::filesystem::path extracted = session->directory / std::string(EXTRACTED_DIRECTORY_NAME);
    // A failure from here on leaves nothing in it that anyone needs, and
    // what it holds (a partial copy of the archive, a half-extracted build)
    // would otherwise stay on the disk for good: the next update has a
    // nonce, and so a session directory, of its own. On a full disk that
    // space is what the next attempt lacks.
    auto prepared = prepare_in_session(plan, *artifact, session->directory, extracted);
    if (!prepared) {
        session->in_use.reset();
        InstallPlan located = plan;
        located.staging_directory = extracted;
        remove_privileged_session_directory(located);
        return fail(prepared.error());
    }
    return PrivilegedInstall{std::move(*prepared), std::move(session->in_use)};
}

Result<void> run_execute_plan(const std::filesystem::path& plan_path, const std::filesystem::path& result_path) {
    // Nothing is written anywhere unless the result goes beside the plan,
    // into the plan's own directory, held so it cannot be swapped for a link
    // until the result is in place.
    if (auto rule = check_install_result_path(plan_path, result_path); !rule) return rule;
    const auto session = hold_session_directory(plan_path);
    if (!session) return fail(session.error());

    // The result file carries the outcome back; when it cannot be written,
    // its own error is what is left to report.
    const Result<void> outcome = compute_outcome(plan_path);
    if (auto written = write_install_result(result_path, outcome); !written) return written;
    test_hooks::stop_at("after-result-written");
    return outcome;
}

}  // namespace tessaryndle::agent
