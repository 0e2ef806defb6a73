#pragma once
// The update run's dealings with other processes: deciding whether the
// installation needs administrator rights, starting the elevated worker,
// waiting for the application to exit and starting it again.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>

#include "common/update_error.h"
#include "platform/process.h"
#include "platform/text.h"

namespace tessaryndle::agent {

// True when the agent must elevate to install into `install_target`: it tries
// to create a probe file ".tmp" + 6 random letters or digits there (create
// only if new, read/write, temporary attribute; a relative path is taken from
// the current directory), trying again with a new name while the name is
// taken, at most 65536 times. A created probe is deleted and closed at once
// and the answer is false. Any failure (access denied, a missing directory,
// 65536 taken names, no current directory) gives true. Never fails and leaves
// nothing behind.
[[nodiscard]] bool needs_elevation(const std::filesystem::path& install_target);

// One command-line argument that the Windows parser gives back as the path's
// text (unpaired surrogates or invalid bytes becoming U+FFFD): always in
// double quotes; n backslashes before a quote become 2n+1 and the quote, n
// backslashes at the end become 2n, all else is copied.
[[nodiscard]] NativeString quote_argument(const std::filesystem::path& path);

// The elevated worker's parameters: "--execute-plan " + quoted plan path +
// " --result " + quoted result path.
[[nodiscard]] NativeString elevated_worker_parameters(const std::filesystem::path& plan_path,
                                                      const std::filesystem::path& result_path);

// The started elevated worker, kept only to tell whether it has ended: its
// answer is its result file. Dropping it closes our handle; it never stops
// or waits for the worker.
class ElevatedWorker {
public:
    // A worker whose process the system did not hand back: never known to
    // have ended.
    ElevatedWorker() = default;
    explicit ElevatedWorker(platform::ChildProcess process) : process_(std::move(process)) {}

    // Whether the worker's process has ended (false when unknown).
    [[nodiscard]] bool has_ended() const { return process_ && process_->has_ended(); }

private:
    std::optional<platform::ChildProcess> process_;
};

// Starts the running agent executable as the elevated worker with
// "--execute-plan", the plan path, "--result" and the result path, and returns
// once it has been started, without waiting for it. The elevated process
// gets neither our current directory nor our environment, so both paths
// must be absolute.
// Windows: ShellExecuteExW with the verb "runas" (the consent prompt),
// SW_HIDE, elevated_worker_parameters() and the system directory as the
// worker's directory (where the elevation service starts it when given
// none); the returned process handle is kept in the result. Elsewhere: through
// /usr/bin/pkexec, relative paths joined to the current directory first
// (pkexec changes it), standard handles on /dev/null; it returns when pkexec
// has started the worker or has ended, and pkexec's process, which becomes
// the worker's, is kept.
// Failures: Io at "updater agent" when the own executable is unknown;
// AuthorizationCancelled when the user declines (ERROR_CANCELLED; pkexec's
// status 126); otherwise Installation "launch elevated Windows installer: " +
// the Windows error text (natively also pkexec's other statuses).
[[nodiscard]] Result<ElevatedWorker> launch_elevated_worker(const std::filesystem::path& plan_path,
                                                            const std::filesystem::path& result_path);

// launch_elevated_worker with `program` in place of the running agent.
[[nodiscard]] Result<ElevatedWorker> launch_elevated_program(const std::filesystem::path& program,
                                                             const std::filesystem::path& plan_path,
                                                             const std::filesystem::path& result_path);

// Returns once the process `process_id` has ended, without a time limit
// (OpenProcess with SYNCHRONIZE and WaitForSingleObject; elsewhere pidfd_open
// and poll). When the open is refused as access denied (an elevated worker
// running as another administrator than the application's user), it is
// tried once more with SeDebugPrivilege enabled for that one open; natively
// the second open needs no privilege. Failures, both Installation: "open
// application process: " + Windows error text of the first open when the
// process cannot be opened (it has already ended, for one);
// "wait for application process returned WAIT_EVENT(n)" when the wait
// returns anything but the process's end.
[[nodiscard]] Result<void> wait_for_application_exit(std::uint32_t process_id);

// Starts the program at `path` without arguments, with the agent's
// environment and standard handles and `working_directory` as its current
// directory, and does not wait for it. Failure: Io at `path` (also when the
// directory cannot be entered).
[[nodiscard]] Result<void> relaunch_application(const std::filesystem::path& path,
                                                const std::filesystem::path& working_directory);

}  // namespace tessaryndle::agent
