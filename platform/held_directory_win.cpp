#include <windows.h>

#include <utility>

#include "platform/held_directory.h"

namespace tessaryndle::platform {
namespace {

std::intptr_t from_handle(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

}  // namespace

OsResult<HeldDirectory> HeldDirectory::open_no_follow(const std::filesystem::path& path) {
    // No delete sharing: renaming or removing the directory, or putting a
    // junction in its place, needs delete access to it, which is refused
    // while this handle is open.
    HANDLE handle =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::unexpected(OsError::from_code(GetLastError()));
    HeldDirectory held(from_handle(handle));
    // Any reparse point is refused, not only links and junctions: Wine shows
    // a symbolic link as a reparse point without a tag.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return std::unexpected(OsError::from_code(GetLastError()));
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return std::unexpected(OsError::from_code(ERROR_DIRECTORY));
    }
    return held;
}

}  // namespace tessaryndle::platform
