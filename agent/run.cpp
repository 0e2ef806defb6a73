#include "agent/modes.h"
#include "agent/plan.h"
#include "agent/verify.h"

namespace tessaryndle::agent {

Result<void> run_install_plan(const std::filesystem::path& plan_path) {
    // 1. Load the plan; it is read-only from here on.
    const auto plan = load_install_plan(plan_path);
    if (!plan) {
        return fail(plan.error());
    }

    // 2. Refuse a plan for another release line before anything else is
    //    looked at.
    if (auto trusted = check_trusted_release(*plan); !trusted) {
        return trusted;
    }

    // 3. Verify the archive, the new build and the existing installation
    //    before anything is decided or changed.
    if (auto verified = verify_install_plan(*plan); !verified) {
        return verified;
    }

    // The steps that follow (elevation, the wait for the
    // application, installation and relaunch) are not part of this build.
    return fail(UpdateError::installation("the update run is not available in this build"));
}

}  // namespace tessaryndle::agent
