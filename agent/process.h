#pragma once
// The update run's dealings with other processes: deciding whether the
// installation needs administrator rights, starting the elevated worker,
// waiting for the application to exit and starting it again.

#include <cstdint>
#include <filesystem>

#include "common/update_error.h"
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

// Starts the running agent executable as the elevated worker with
// "--execute-plan", the plan path, "--result" and the result path, and returns
// once it has been started, without waiting for it.
// Windows: ShellExecuteExW with the verb "runas" (the consent prompt),
// SW_HIDE and elevated_worker_parameters(); the process handle is closed at
// once. Elsewhere: through /usr/bin/pkexec, relative paths joined to the
// current directory first (pkexec changes it), standard handles on
// /dev/null; it returns when pkexec has started the worker or has ended.
// Failures: Io at "updater agent" when the own executable is unknown;
// AuthorizationCancelled when the user declines (ERROR_CANCELLED; pkexec's
// status 126); otherwise Installation "launch elevated Windows installer: " +
// the Windows error text (natively also pkexec's other statuses).
[[nodiscard]] Result<void> launch_elevated_worker(const std::filesystem::path& plan_path,
                                                  const std::filesystem::path& result_path);

// launch_elevated_worker with `program` in place of the running agent.
[[nodiscard]] Result<void> launch_elevated_program(const std::filesystem::path& program,
                                                   const std::filesystem::path& plan_path,
                                                   const std::filesystem::path& result_path);

// Returns once the process `process_id` has ended, without a time limit
// (OpenProcess with SYNCHRONIZE and WaitForSingleObject; elsewhere pidfd_open
// and poll). Failures, both Installation: "open application process: " +
// Windows error text when the process cannot be opened (it has already ended,
// for one); "wait for application process returned WAIT_EVENT(n)" when the
// wait returns anything but the process's end.
[[nodiscard]] Result<void> wait_for_application_exit(std::uint32_t process_id);

// Starts the program at `path` without arguments, with the agent's
// environment, working directory and standard handles, and does not wait for
// it. Failure: Io at `path`.
[[nodiscard]] Result<void> relaunch_application(const std::filesystem::path& path);

}  // namespace tessaryndle::agent
