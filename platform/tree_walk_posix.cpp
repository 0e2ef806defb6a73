#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/directory_listing_posix.h"
#include "platform/tree_walk.h"

namespace tessaryndle::platform {
namespace {

OsError errno_error() { return OsError::from_code(errno); }

EntryKind kind_from_mode(mode_t mode) {
    if (S_ISLNK(mode)) return EntryKind::Link;
    if (S_ISDIR(mode)) return EntryKind::Directory;
    return EntryKind::File;
}

}  // namespace

OsResult<std::vector<DirectoryEntry>> list_directory(const std::filesystem::path& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(errno_error());
    auto entries = read_directory_entries(fd);
    ::close(fd);
    return entries;
}

OsResult<EntryKind> entry_kind_no_follow(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::unexpected(errno_error());
    return kind_from_mode(st.st_mode);
}

}  // namespace tessaryndle::platform
