#include "agent/progress/progress.h"

#include <utility>

#include "platform/working_directory.h"

namespace tessaryndle::agent {

ProgressHelper& ProgressHelper::operator=(ProgressHelper&& other) noexcept {
    if (this != &other) {
        stop();
        process_ = std::exchange(other.process_, std::nullopt);
    }
    return *this;
}

std::optional<std::uint32_t> ProgressHelper::process_id() const {
    if (!process_) return std::nullopt;
    return process_->id();
}

void ProgressHelper::stop() {
    if (!process_) return;
    // Refused when the helper has already ended (it failed on its own); the
    // wait then returns at once. Its exit code means nothing to the run.
    (void)process_->terminate();
    (void)process_->wait();
    process_.reset();
}

std::vector<NativeString> progress_helper_arguments(const InstallPlan& plan) {
    return {
        path_from_utf8("--show-progress-after").native(),
        path_from_utf8(std::to_string(plan.fallback_progress_delay_ms)).native(),
        path_from_utf8("--app-name").native(),
        path_from_utf8(plan.app_name).native(),
        path_from_utf8("--app-path").native(),
        plan.install_target.native(),
    };
}

ProgressHelper start_progress_helper(const InstallPlan& plan) {
    const auto agent = platform::own_executable_path();
    if (!agent) return {};
    return start_progress_helper_program(*agent, plan);
}

ProgressHelper start_progress_helper_program(const std::filesystem::path& program, const InstallPlan& plan) {
    // Not the agent's directory, whatever that is: a directory the helper
    // stood in could not be removed while it runs.
    const auto steady = platform::steady_directory();
    auto started = platform::start_process_with_null_stdio(program, progress_helper_arguments(plan),
                                                           steady ? *steady : std::filesystem::path());
    if (!started) return {};
    // A window that says an update is running must not outlive an agent
    // that crashed or was killed. Without the tie it still goes at the end
    // of a normal run.
    static_cast<void>(started->end_with_this_process());
    return ProgressHelper(std::move(*started));
}

void stop_progress_helper(ProgressHelper helper) { helper.stop(); }

}  // namespace tessaryndle::agent
