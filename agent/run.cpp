#include "agent/modes.h"

namespace tessaryndle::agent {

Result<void> run_install_plan(const std::filesystem::path&) {
    return fail(UpdateError::installation("the update run is not available in this build"));
}

}  // namespace tessaryndle::agent
