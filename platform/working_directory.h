#pragma once
// The process's current directory. On Windows a process's current directory
// is held open without delete sharing, so no other process can rename or
// remove that directory (or one above it) while it is current; a process
// that outlives the work in a directory must not keep standing in it.

#include <filesystem>

#include "platform/os_error.h"

namespace tessaryndle::platform {

// Makes `directory` the current directory: SetCurrentDirectoryW; chdir.
// Failure: the OS error; the current directory is then unchanged.
[[nodiscard]] OsResult<void> set_current_directory(const std::filesystem::path& directory);

// A directory that no update renames or removes, for processes to stand in
// while their work is elsewhere: the system directory (GetSystemDirectoryW,
// taken from the system, not from the environment); elsewhere "/". Failure:
// the OS error.
[[nodiscard]] OsResult<std::filesystem::path> steady_directory();

}  // namespace tessaryndle::platform
