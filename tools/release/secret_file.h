#pragma once
// Files that hold a secret (the release key): created new, readable and
// writable by their owner alone, complete before the call returns; read
// into one buffer that the caller wipes.

#include <cstddef>
#include <filesystem>
#include <string>
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

// The most a secret file may hold: a key file is a few hundred bytes.
constexpr std::size_t SECRET_FILE_LIMIT = 64 * 1024;

// Reads the whole of `path` (a link is followed, as for any file the user
// names; a pipe such as /dev/stdin is read to its end) straight into the
// returned string, whose room is taken once: no other copy of the bytes is
// left in memory, so wiping the result wipes them all. More than
// SECRET_FILE_LIMIT bytes fail with EFBIG (ERROR_FILE_TOO_LARGE); otherwise
// the error of the open or the read.
[[nodiscard]] platform::OsResult<std::string> read_secret_file(const std::filesystem::path& path);

}  // namespace tessaryndle::release
