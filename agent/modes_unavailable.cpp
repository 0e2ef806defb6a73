// Modes whose work this build does not contain yet. They fail honestly
// instead of reporting success for work that was not done.

#include "agent/modes.h"

namespace tessaryndle::agent {

Result<void> show_progress_window(const std::string&, const std::filesystem::path&) {
    return fail(UpdateError::installation("the progress window is not available in this build"));
}

}  // namespace tessaryndle::agent
