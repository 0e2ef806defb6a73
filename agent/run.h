#pragma once
// Install-plan mode's own steps: where the elevated worker's result goes,
// and the clean-up after a successful update. The run itself is
// run_install_plan (agent/modes.h).

#include <filesystem>

#include "agent/plan/plan.h"
#include "common/update_error.h"

namespace tessaryndle::agent {

// The plan path with its final name replaced by "install-result.json"; a
// path without a final name (one ending in a separator) gets the name
// appended. Pure path arithmetic: nothing is looked up.
[[nodiscard]] std::filesystem::path install_result_path(const std::filesystem::path& plan_path);

// `plan` with each relative path of it ("archive_path",
// "staging_directory", "install_source", "install_target", "relaunch_path")
// made absolute from the current directory with std::filesystem::absolute,
// on Windows GetFullPathNameW, the resolution Windows itself gives a
// relative path; so each names what it named before the agent left that
// directory. Absolute and empty paths, and paths that cannot be made
// absolute, stay as they are.
[[nodiscard]] InstallPlan with_absolute_paths(InstallPlan plan);

// Succeeds when the paths that the elevated worker reads again from the plan
// file, "archive_path", "staging_directory", "install_source" and
// "install_target", are all absolute: the worker runs in another directory
// than the agent, and the plan must name the same files for both. Failure:
// Installation "the install plan's {member} is a relative path, which an
// elevated installation cannot use", for the first such member.
[[nodiscard]] Result<void> check_paths_for_worker(const InstallPlan& plan);

// Removes the session of one successful update:
// 1. the staging directory with everything in it, when it exists (a link at
//    its name is followed only to see whether something is there; the link
//    itself is what is removed then);
// 2. the plan's parent directory with everything in it (the plan, the
//    worker's result, whatever else the application kept there), when the
//    plan path has one.
// Links inside either tree are removed as links and never followed. Never
// fails: what cannot be removed stays.
void clean_up_user_session(const std::filesystem::path& staging_directory, const std::filesystem::path& plan_path);

}  // namespace tessaryndle::agent
