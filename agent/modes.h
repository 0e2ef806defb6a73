#pragma once
// The agent's three modes, each run by the entry after its command line has
// been checked.

#include <filesystem>
#include <string>

#include "common/update_error.h"

namespace tessaryndle::agent {

// Install-plan mode: the whole update run for the plan at `plan_path`.
[[nodiscard]] Result<void> run_install_plan(const std::filesystem::path& plan_path);

// Execute-plan mode: the elevated worker; reports through `result_path`.
[[nodiscard]] Result<void> run_execute_plan(const std::filesystem::path& plan_path,
                                            const std::filesystem::path& result_path);

// Progress-helper mode: shows the progress window until terminated.
[[nodiscard]] Result<void> show_progress_window(const std::string& app_name, const std::filesystem::path& app_path);

}  // namespace tessaryndle::agent
