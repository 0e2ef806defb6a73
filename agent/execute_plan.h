#pragma once
// Execute-plan mode: the elevated worker. It repeats every check of the
// unprivileged side on files only it wrote, installs, and reports through
// "install-result.json" beside the plan. The mode itself is
// run_execute_plan (agent/modes.h).

#include <filesystem>

#include "agent/installation/activation.h"
#include "agent/installation/privileged_session.h"
#include "agent/plan/plan.h"
#include "common/update_error.h"
#include "platform/held_directory.h"

namespace tessaryndle::agent {

// The rule a result path must meet before the worker writes anything: the
// parent directories of `result_path` and `plan_path` both exist and are
// equal (the same text, or the same prefix, root and names compared exactly,
// repeated separators and "." components not counting) or are both absent,
// and the result path's file name is exactly "install-result.json". Pure path
// arithmetic: nothing is looked up. Failure: Installation "the install result
// path is outside the updater session".
[[nodiscard]] Result<void> check_install_result_path(const std::filesystem::path& plan_path,
                                                     const std::filesystem::path& result_path);

// What the worker installs once the application has exited: its own
// session directory with the extracted build, and the installation it runs
// from, both held open from the moment they were checked.
struct PrivilegedInstall {
    PrivilegedSession session;
    platform::HeldDirectory target;
    ActivationInputs activation;
};

// Prepares an elevated installation from files only the worker wrote, in
// this order, the first failure ending it:
// 1. "install_target" is opened without following a link and held; it must
//    be the very directory that holds the running agent's own image
//    (Installation "the install target is not the installation this updater
//    runs from" otherwise: the worker installs into no other place), and
//    verify_installation of it;
// 2. validate_artifact_url of the artifact;
// 3. create_privileged_session_directory: the fresh directory
//    {ProgramData}\{application_id}\Updater\{nonce}, administrators only,
//    no link on the way;
// 4. the archive at "archive_path", opened once without following a link,
//    must be a regular file that the user who started the update could read
//    (Installation "the update archive is not readable by the user who
//    started the update"; nothing of it is read) and exactly
//    "content_length" bytes long (InvalidArtifact "archive is not a regular
//    {N} byte file"; nothing is copied), and exactly those bytes are copied
//    from that handle to the new file "update.zip" in the session directory
//    (Io at the copy; not flushed: nothing is made current from the copy
//    itself, only from the files extracted from it, which activation
//    flushes);
// 5. verify_artifact of that copy with the plan's key;
// 6. extraction of the copy into "Extracted" and the payload root found there;
// 7. verify_update_payload of that root.
// A failure after the session directory was created removes it with what
// was written into it, so that a partial copy or extraction never stays
// behind.
[[nodiscard]] Result<PrivilegedInstall> prepare_privileged_install(const InstallPlan& plan);

}  // namespace tessaryndle::agent
