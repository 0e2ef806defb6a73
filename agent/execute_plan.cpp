#include "agent/execute_plan.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "agent/elevation/process.h"
#include "agent/installation/activation.h"
#include "agent/installation/install_result.h"
#include "agent/installation/privileged_session.h"
#include "agent/modes.h"
#include "agent/test_hooks.h"
#include "agent/verification/authenticode.h"
#include "agent/verification/verify.h"
#include "common/constants.h"
#include "common/path_rules.h"
#include "extraction/extract.h"
#include "platform/files.h"
#include "platform/held_directory.h"
#include "platform/input_file.h"
#include "platform/text.h"

namespace tessaryndle::agent {
namespace {

constexpr std::string_view ARCHIVE_COPY_NAME = "update.zip";
constexpr std::string_view EXTRACTED_DIRECTORY_NAME = "Extracted";

UpdateError outside_session() {
    return UpdateError::installation("the install result path is outside the updater session");
}

// The worker writes the result as administrator into a directory the user
// owns. That directory is opened once, checked to be a plain directory and
// not a link or junction, and held: the result is created and renamed
// relative to this handle, so that whatever the user does to the names
// meanwhile, the result lands in the session the plan came from.
Result<platform::HeldDirectory> hold_session_directory(const std::filesystem::path& plan_path) {
    std::filesystem::path directory = plan_path.parent_path();
    if (directory.empty()) directory = ".";
    auto held = platform::HeldDirectory::open_no_follow(directory);
    if (!held) return fail(outside_session());
    return std::move(*held);
}

// The plan, read through the held session directory, and only when the
// user who started the update could read it: its bytes may come back in
// error texts.
Result<InstallPlan> load_plan_as_user(const platform::HeldDirectory& session, const std::filesystem::path& plan_path) {
    return load_install_plan(session.path() / plan_path.filename(), platform::ReadAs::StartingUser);
}

Result<void> compute_outcome(const platform::HeldDirectory& session, const std::filesystem::path& plan_path) {
    const auto plan = load_plan_as_user(session, plan_path);
    if (!plan) return fail(plan.error());
    if (auto trusted = check_trusted_release(*plan); !trusted) return trusted;
    auto privileged = prepare_privileged_install(*plan);
    if (!privileged) return fail(privileged.error());

    // From here on the session directory is removed whatever happens: it
    // holds nothing anyone needs once this run has ended.
    Result<void> outcome = wait_for_application_exit(plan->parent_pid);
    if (outcome) outcome = activate_update(privileged->activation, privileged->target);
    remove_privileged_session(std::move(privileged->session));
    test_hooks::stop_at("after-privileged-session-removed");
    return outcome;
}

// The user's archive, opened once without following a link: a regular file
// that the user could read, of exactly the announced length. Checked before
// a byte of it is copied, so that a file the user may not read never shows
// in a result or a log (not even as a digest), and a huge one never fills
// the system volume.
Result<platform::InputFile> open_users_archive(const std::filesystem::path& path, const VerifiedArtifact& artifact) {
    auto archive = platform::InputFile::open_no_follow(path);
    if (!archive) return fail(UpdateError::io(path, archive.error()));
    const auto readable = archive->starting_user_may_read();
    if (!readable) return fail(UpdateError::io(path, readable.error()));
    if (!*readable) {
        return fail(UpdateError::installation("the update archive is not readable by the user who started the update"));
    }
    const auto size = archive->size();
    if (!size) return fail(UpdateError::io(path, size.error()));
    if (*size != artifact.content_length) return fail(archive_length_error(artifact));
    return std::move(*archive);
}

// Copies exactly `length` bytes of `from` to the new file `to`, flushed, so
// that what was verified is what the disk holds.
Result<void> copy_exactly(const platform::InputFile& from, std::uint64_t length, const std::filesystem::path& to) {
    auto copy = platform::OutputFile::create_new(to);
    if (!copy) return fail(UpdateError::io(to, copy.error()));
    constexpr std::uint64_t CHUNK = 1u << 20;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min(CHUNK, std::max<std::uint64_t>(length, 1))));
    for (std::uint64_t offset = 0; offset < length;) {
        const auto span = std::span(buffer).first(static_cast<std::size_t>(std::min(CHUNK, length - offset)));
        if (auto read = from.read_exact_at(offset, span); !read) return fail(UpdateError::io(to, read.error()));
        const std::string_view bytes(reinterpret_cast<const char*>(span.data()), span.size());
        if (auto written = copy->write_all(bytes); !written) return fail(UpdateError::io(to, written.error()));
        offset += span.size();
    }
    if (auto flushed = copy->flush(); !flushed) return fail(UpdateError::io(to, flushed.error()));
    return {};
}

// What prepare_privileged_install does inside its session directory: copy
// the archive, verify and extract that copy, and check the payload it
// holds. Returns the payload root.
Result<std::filesystem::path> prepare_in_session(const InstallPlan& plan, const VerifiedArtifact& artifact,
                                                 const platform::HeldDirectory& session) {
    // From here on only the worker's own copy is used; the user's archive
    // could change under us, the copy cannot.
    auto users = open_users_archive(plan.archive_path, artifact);
    if (!users) return fail(users.error());
    const std::filesystem::path copy = session.path() / std::string(ARCHIVE_COPY_NAME);
    if (auto copied = copy_exactly(*users, artifact.content_length, copy); !copied) return fail(copied.error());
    test_hooks::stop_at("after-archive-copied");

    // The copy is opened once, without following a link, and the file that
    // is verified is the file that is extracted.
    const auto archive = platform::InputFile::open_no_follow(copy);
    if (!archive) return fail(UpdateError::io(copy, archive.error()));
    if (auto verified = verify_artifact(*archive, copy, artifact, plan.public_key); !verified) {
        return fail(verified.error());
    }
    const auto never_cancelled = std::make_shared<const std::atomic<bool>>(false);
    const std::filesystem::path extracted = session.path() / std::string(EXTRACTED_DIRECTORY_NAME);
    auto payload_root = extraction::extract_update_archive(*archive, copy, extracted, never_cancelled);
    if (!payload_root) return fail(payload_root.error());
    test_hooks::stop_at("after-archive-extracted");
    if (auto payload = verify_update_payload(*payload_root); !payload) return fail(payload.error());
    return std::move(*payload_root);
}

// The installation named by the plan, held, and only when it is the one
// this agent runs from: the worker runs as administrator, and a plan is the
// user's text.
Result<platform::HeldDirectory> hold_own_installation(const std::filesystem::path& install_target) {
    const auto refused = [] {
        return fail(UpdateError::installation("the install target is not the installation this updater runs from"));
    };
    auto target = platform::HeldDirectory::open_no_follow(install_target);
    if (!target) {
        // A target that is no plain directory is judged by the installation
        // check first, as the unprivileged side judges it.
        if (auto installation = verify_installation(install_target); !installation) return fail(installation.error());
        return refused();
    }
    const auto own = platform::hold_own_image_directory();
    if (!own) return fail(UpdateError::io(path_from_utf8("updater agent"), own.error()));
    const auto same = target->same_directory_as(*own);
    if (!same) return fail(UpdateError::io(install_target, same.error()));
    if (!*same) return refused();
    if (auto installation = verify_installation(target->path()); !installation) return fail(installation.error());
    return std::move(*target);
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
    auto target = hold_own_installation(plan.install_target);
    if (!target) return fail(target.error());
    const auto artifact = validate_artifact_url(plan.artifact);
    if (!artifact) return fail(artifact.error());

    // A fresh directory that only administrators can write.
    auto session = create_privileged_session_directory(plan);
    if (!session) return fail(session.error());
    // A failure from here on leaves nothing in it that anyone needs, and
    // what it holds (a partial copy of the archive, a half-extracted build)
    // would otherwise stay on the disk for good: the next update has a
    // nonce, and so a session directory, of its own. On a full disk that
    // space is what the next attempt lacks.
    auto payload_root = prepare_in_session(plan, *artifact, session->directory);
    if (!payload_root) {
        remove_privileged_session(std::move(*session));
        return fail(payload_root.error());
    }
    return PrivilegedInstall{std::move(*session), std::move(*target),
                             ActivationInputs{std::move(*payload_root), plan.build, plan.version}};
}

Result<void> run_execute_plan(const std::filesystem::path& plan_path, const std::filesystem::path& result_path) {
    // Nothing is written anywhere unless the result goes beside the plan,
    // into the plan's own directory, held so it cannot be swapped for a link
    // until the result is in place.
    if (auto rule = check_install_result_path(plan_path, result_path); !rule) return rule;
    const auto session = hold_session_directory(plan_path);
    if (!session) return fail(session.error());
    test_hooks::adopt_forwarded(session->path());

    // The result file carries the outcome back; when it cannot be written,
    // its own error is what is left to report.
    const Result<void> outcome = compute_outcome(*session, plan_path);
    if (auto written = write_install_result(*session, result_path, outcome); !written) return written;
    test_hooks::stop_at("after-result-written");
    return outcome;
}

}  // namespace tessaryndle::agent
