#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const OsError error = errno_error();
        ::close(fd);
        return std::unexpected(error);
    }
    std::vector<DirectoryEntry> entries;
    for (;;) {
        errno = 0;
        const dirent* item = ::readdir(dir);
        if (item == nullptr) {
            if (errno != 0) {
                const OsError error = errno_error();
                ::closedir(dir);
                return std::unexpected(error);
            }
            break;
        }
        const std::string_view name = item->d_name;
        if (name == "." || name == "..") continue;
        EntryKind kind = EntryKind::File;
        switch (item->d_type) {
            case DT_DIR: kind = EntryKind::Directory; break;
            case DT_LNK: kind = EntryKind::Link; break;
            case DT_UNKNOWN: {
                struct stat st {};
                if (::fstatat(::dirfd(dir), item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    const OsError error = errno_error();
                    ::closedir(dir);
                    return std::unexpected(error);
                }
                kind = kind_from_mode(st.st_mode);
                break;
            }
            default: break;
        }
        entries.push_back(DirectoryEntry{std::string(name), kind});
    }
    ::closedir(dir);
    return entries;
}

OsResult<EntryKind> entry_kind_no_follow(const std::filesystem::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::unexpected(errno_error());
    return kind_from_mode(st.st_mode);
}

}  // namespace tessaryndle::platform
