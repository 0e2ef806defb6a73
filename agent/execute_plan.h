#pragma once
// Execute-plan mode: the elevated worker. It repeats every check of the
// unprivileged side on files only it wrote, installs, and reports through
// "install-result.json" beside the plan. The mode itself is
// run_execute_plan (agent/modes.h).

#include <filesystem>

#include "agent/plan.h"
#include "common/update_error.h"
#include "platform/native_handle.h"

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

// Prepares an elevated installation from files only the worker wrote, in
// this order, the first failure ending it:
// 1. verify_installation of "install_target";
// 2. validate_artifact_url of the artifact;
// 3. create_privileged_session_directory: the fresh directory
//    {PROGRAMDATA}\{application_id}\Updater\{nonce}, administrators only,
//    no link on the way;
// 4. the archive copied to "update.zip" in it and flushed (Io at the copy);
// 5. verify_artifact of that copy with the plan's key;
// 6. extraction of the copy into "Extracted" and the payload root found there;
// 7. verify_update_payload of that root.
// Returns the plan with "archive_path", "staging_directory" and
// "install_source" replaced by the copy, the "Extracted" directory and the
// payload root, with the session directory's in-use mark, which the caller
// keeps open until it removes the directory. A failure after the session
// directory was created removes it with what was written into it
// (remove_privileged_session_directory), so that a partial copy or
// extraction never stays behind.
struct PrivilegedInstall {
    InstallPlan plan;
    platform::NativeHandle session_in_use;
};
[[nodiscard]] Result<PrivilegedInstall> prepare_privileged_install(const InstallPlan& plan);

}  // namespace tessaryndle::agent
