#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <sys/stat.h>

#include "platform/directory_listing_posix.h"

namespace tessaryndle::platform {

OsResult<std::vector<DirectoryEntry>> read_directory_entries(int fd) {
    const int listing_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (listing_fd < 0) return std::unexpected(OsError::from_code(errno));
    DIR* dir = ::fdopendir(listing_fd);
    if (dir == nullptr) {
        const OsError error = OsError::from_code(errno);
        ::close(listing_fd);
        return std::unexpected(error);
    }
    // The duplicate shares the file offset with `fd`; start from the top.
    ::rewinddir(dir);
    std::vector<DirectoryEntry> entries;
    for (;;) {
        errno = 0;
        const dirent* item = ::readdir(dir);
        if (item == nullptr) {
            if (errno != 0) {
                const OsError error = OsError::from_code(errno);
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
                // Some file systems do not report the type in the listing.
                struct stat st {};
                if (::fstatat(fd, item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    if (errno == ENOENT) continue;
                    const OsError error = OsError::from_code(errno);
                    ::closedir(dir);
                    return std::unexpected(error);
                }
                kind = S_ISLNK(st.st_mode)   ? EntryKind::Link
                       : S_ISDIR(st.st_mode) ? EntryKind::Directory
                                             : EntryKind::File;
                break;
            }
            default: break;
        }
        entries.push_back(DirectoryEntry{std::string(name), kind});
    }
    ::closedir(dir);
    return entries;
}

}  // namespace tessaryndle::platform
