#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <sys/stat.h>

#include <utility>

#include "platform/descriptor_posix.h"
#include "platform/pinned_directory.h"

namespace tessaryndle::platform {

OsResult<std::optional<PinnedDirectory>> PinnedDirectory::open(const std::filesystem::path& path) {
    Descriptor fd(
        retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!fd.valid()) {
        // ELOOP: a symbolic link; ENOTDIR: something else than a directory.
        if (errno == ELOOP || errno == ENOTDIR) return std::optional<PinnedDirectory>();
        return std::unexpected(OsError::last());
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(OsError::last());
    if (!S_ISDIR(st.st_mode)) return std::optional<PinnedDirectory>();
    return std::optional<PinnedDirectory>(PinnedDirectory(fd.release()));
}

}  // namespace tessaryndle::platform
