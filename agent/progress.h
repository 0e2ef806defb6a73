#pragma once
// Placeholder until the progress helper lands from its own branch.

#include "agent/plan.h"

namespace tessaryndle::agent {

class ProgressHelper {
public:
    ProgressHelper() = default;
};

[[nodiscard]] ProgressHelper start_progress_helper(const InstallPlan& plan);
void stop_progress_helper(ProgressHelper helper);

}  // namespace tessaryndle::agent
