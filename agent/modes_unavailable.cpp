// Modes whose work this build does not contain yet. They fail honestly
// instead of reporting success for work that was not done.

#include "agent/modes.h"

namespace tessaryndle::agent {

Result<void> run_execute_plan(const std::filesystem::path&, const std::filesystem::path&) {
    return fail(UpdateError::installation("the privileged updater worker is not available in this build"));
}

}  // namespace tessaryndle::agent
