#pragma once
// The platform pieces behind agent/elevation/process.h, shared by its portable logic
// (process.cpp) and the two platform files. Not for other modules.

#include <cstdint>
#include <filesystem>
#include <span>

#include "platform/native_handle.h"
#include "platform/os_error.h"

namespace tessaryndle::agent::process_detail {

enum class ProbeOutcome {
    created,     // the file was created, and is already deleted and closed again
    name_taken,  // something exists under the name: try another one
    failed,      // any other failure: no write access, as far as we can tell
};

// Creates `path` only when nothing exists under it, for reading and writing,
// with the temporary-file attribute, and deletes and closes it at once.
[[nodiscard]] ProbeOutcome create_probe_file(const std::filesystem::path& path);

// The process `process_id` opened for waiting on its end, not inheritable:
// OpenProcess with SYNCHRONIZE; elsewhere pidfd_open. Failure: the OS error.
[[nodiscard]] platform::OsResult<platform::NativeHandle> open_for_wait(std::uint32_t process_id);

// open_for_wait with SeDebugPrivilege enabled in this process's token for
// the open, and restored to what it was afterwards; it fails when the token
// does not hold the privilege. Natively the same as open_for_wait.
[[nodiscard]] platform::OsResult<platform::NativeHandle> open_for_wait_as_debugger(std::uint32_t process_id);

// The error of an open refused for want of rights: ERROR_ACCESS_DENIED;
// natively EACCES.
[[nodiscard]] OsError access_denied();
[[nodiscard]] bool is_access_denied(const OsError& error);

// Waits without a time limit for the process held by `process` to end: 0
// when it has, otherwise what the wait returned (0xFFFFFFFF for a failed
// wait, as WAIT_FAILED).
[[nodiscard]] std::uint32_t wait_for_end(const platform::NativeHandle& process);

}  // namespace tessaryndle::agent::process_detail
