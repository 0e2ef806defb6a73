#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <sys/stat.h>

#include <utility>

#include "platform/held_directory.h"

namespace tessaryndle::platform {

OsResult<HeldDirectory> HeldDirectory::open_no_follow(const std::filesystem::path& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(OsError::from_code(errno));
    HeldDirectory held(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::unexpected(OsError::from_code(errno));
    if (!S_ISDIR(st.st_mode)) return std::unexpected(OsError::from_code(ENOTDIR));
    return held;
}

}  // namespace tessaryndle::platform
