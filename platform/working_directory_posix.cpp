#include <unistd.h>

#include <cerrno>

#include "platform/working_directory.h"

namespace tessaryndle::platform {

OsResult<void> set_current_directory(const std::filesystem::path& directory) {
    if (::chdir(directory.c_str()) != 0) return std::unexpected(OsError::from_code(errno));
    return {};
}

// The root is the one directory that can be neither renamed nor removed.
OsResult<std::filesystem::path> steady_directory() { return std::filesystem::path("/"); }

}  // namespace tessaryndle::platform
