#include <windows.h>

#include <utility>

#include "platform/long_path_win.h"
#include "platform/pinned_directory.h"

namespace tessaryndle::platform {
namespace {

constexpr DWORD NAME_SURROGATE_BIT = 0x20000000;

}  // namespace

OsResult<std::optional<PinnedDirectory>> PinnedDirectory::open(const std::filesystem::path& path) {
    // No FILE_SHARE_DELETE: renaming or deleting the directory needs delete
    // access, which is refused to everybody while this handle is open.
    const HANDLE raw =
        CreateFileW(extended_length_path(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return std::unexpected(OsError::last());
    PinnedDirectory pinned(reinterpret_cast<std::intptr_t>(raw));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(raw, &info)) return std::unexpected(OsError::last());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return std::optional<PinnedDirectory>();
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A tag that cannot be read, or the tag 0 that no real reparse point
        // has (Wine shows Unix links to directories so), counts as a link:
        // refusing is the safe side.
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (!GetFileInformationByHandleEx(raw, FileAttributeTagInfo, &tag, sizeof tag) || tag.ReparseTag == 0 ||
            (tag.ReparseTag & NAME_SURROGATE_BIT) != 0) {
            return std::optional<PinnedDirectory>();
        }
    }
    return std::optional<PinnedDirectory>(std::move(pinned));
}

}  // namespace tessaryndle::platform
