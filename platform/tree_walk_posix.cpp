#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <sys/stat.h>

#include "platform/descriptor_posix.h"
#include "platform/directory_listing_posix.h"
#include "platform/tree_walk.h"

namespace tessaryndle::platform {
namespace {

EntryKind kind_from_mode(mode_t mode) {
    if (S_ISLNK(mode)) return EntryKind::Link;
    if (S_ISDIR(mode)) return EntryKind::Directory;
    return EntryKind::File;
}

}  // namespace

OsResult<std::vector<DirectoryEntry>> list_directory(const std::filesystem::path& path) {
    const Descriptor fd(
        retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!fd.valid()) return std::unexpected(OsError::last());
    return read_directory_entries(fd.get());
}

OsResult<EntryKind> entry_kind_no_follow(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::unexpected(OsError::last());
    return kind_from_mode(st.st_mode);
}

}  // namespace tessaryndle::platform
