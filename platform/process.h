#pragma once
// Starting programs and finding our own executable.

#include <filesystem>
#include <vector>

#include "platform/text.h"
#include "platform/files.h"

namespace tessaryndle::platform {

// The full path of the running program's executable: GetModuleFileNameW on
// the process's own module, retried with a larger buffer until the path
// fits; elsewhere the target of /proc/self/exe.
[[nodiscard]] OsResult<std::filesystem::path> own_executable_path();

// Starts one process running `program` with `arguments` (the program itself
// not included) and returns as soon as it runs; it never waits for it and
// never reads its exit status. The child inherits the environment, the
// current working directory and the standard handles. On Windows:
// CreateProcessW with `program` as the application name and the command
// line of windows_command_line(), handle inheritance on, creation flags
// CREATE_UNICODE_ENVIRONMENT only; both returned handles are closed at once.
// Elsewhere posix_spawn. Fails with the operating-system error of the start
// (file not found, access denied, not an executable).
[[nodiscard]] OsResult<void> start_executable(const std::filesystem::path& program,
                                              const std::vector<NativeString>& arguments);

}  // namespace tessaryndle::platform
