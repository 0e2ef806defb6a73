#include <windows.h>

#include <utility>

#include "platform/link_win.h"
#include "platform/long_path_win.h"
#include "platform/pinned_directory.h"

namespace tessaryndle::platform {
OsResult<std::optional<PinnedDirectory>> PinnedDirectory::open(const std::filesystem::path& path) {
    // No FILE_SHARE_DELETE: renaming or deleting the directory needs delete
    // access, which is refused to everybody while this handle is open.
    const HANDLE raw = CreateFileW(long_path(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return std::unexpected(OsError::last());
    PinnedDirectory pinned(reinterpret_cast<std::intptr_t>(raw));
    const auto attributes = entry_attributes(raw);
    if (!attributes) return std::unexpected(attributes.error());
    if (!attributes->plain_directory()) return std::optional<PinnedDirectory>();
    return std::optional<PinnedDirectory>(std::move(pinned));
}

}  // namespace tessaryndle::platform
