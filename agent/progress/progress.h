#pragma once
// The progress helper: a second process of the agent that shows the progress
// window after the plan's delay while the installation runs, and is
// terminated when it is done. Nothing about it can fail the update run.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/plan/plan.h"
#include "platform/process.h"
#include "platform/text.h"

namespace tessaryndle::agent {

// The window class of the progress window.
inline constexpr const char* PROGRESS_WINDOW_CLASS = "TessaryndleUpdaterProgress";

// A started progress helper process, or none. It owns the process: whoever
// drops it, stop_progress_helper or the destructor on any early way out of
// the run, terminates the helper, waits for its end and closes its handles,
// so a progress window never outlives the run; and the helper is tied to
// the agent (ChildProcess::end_with_this_process, platform::end_with_parent),
// so it ends with an agent that crashed or was killed, too.
class ProgressHelper {
public:
    ProgressHelper() = default;
    explicit ProgressHelper(platform::ChildProcess process) : process_(std::move(process)) {}
    ProgressHelper(ProgressHelper&& other) noexcept : process_(std::exchange(other.process_, std::nullopt)) {}
    ProgressHelper& operator=(ProgressHelper&& other) noexcept;
    ProgressHelper(const ProgressHelper&) = delete;
    ProgressHelper& operator=(const ProgressHelper&) = delete;
    ~ProgressHelper() { stop(); }

    [[nodiscard]] bool running() const { return process_.has_value(); }
    // The helper's process identifier, when there is a helper.
    [[nodiscard]] std::optional<std::uint32_t> process_id() const;

private:
    friend void stop_progress_helper(ProgressHelper helper);
    void stop();

    std::optional<platform::ChildProcess> process_;
};

// The helper's arguments: "--show-progress-after", the plan's
// fallback_progress_delay_ms in plain decimal, "--app-name", app_name,
// "--app-path", install_target.
[[nodiscard]] std::vector<NativeString> progress_helper_arguments(const InstallPlan& plan);

// Starts the running agent executable as the progress helper, its standard
// handles on the null device, its current directory the steady one
// (platform::steady_directory: the system directory; natively "/"). Never
// fails: any failure gives none, and the
// run goes on without a window.
[[nodiscard]] ProgressHelper start_progress_helper(const InstallPlan& plan);

// start_progress_helper with `program` in place of the running agent.
[[nodiscard]] ProgressHelper start_progress_helper_program(const std::filesystem::path& program,
                                                           const InstallPlan& plan);

// Terminates the helper (exit code 1), waits for its end without a time
// limit and closes its handles; nothing for none. Every failure is ignored:
// a helper that has already ended is simply waited for. When this returns
// the helper and its window are gone.
void stop_progress_helper(ProgressHelper helper);

}  // namespace tessaryndle::agent
