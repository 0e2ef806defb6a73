#pragma once
// Placeholder until the privileged session directory lands from its own branch.

#include <filesystem>

#include "agent/plan.h"

namespace tessaryndle::agent {

[[nodiscard]] Result<std::filesystem::path> create_privileged_session_directory(const InstallPlan& plan);

}  // namespace tessaryndle::agent
