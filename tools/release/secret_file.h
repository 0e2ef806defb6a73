#pragma once
// Files that hold a secret (the release key): created new, readable and
// writable by their owner alone, complete before the call returns.

#include <filesystem>
#include <string_view>

#include "platform/os_error.h"

namespace tessaryndle::release {

// Creates `path`, which must not exist yet (an existing file or link there
// is never opened, followed or replaced: EEXIST / ERROR_FILE_EXISTS), with
// rights for its owner only, writes `bytes` and flushes them to stable
// storage. Natively the mode is exactly 0600 whatever the umask; on Windows
// the file gets a protected DACL with one entry, full access for the current
// user, so nothing is inherited from the directory. When writing fails the
// new file is removed again.
[[nodiscard]] platform::OsResult<void> write_secret_file(const std::filesystem::path& path, std::string_view bytes);

}  // namespace tessaryndle::release
