#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/directory_listing_win.h"
#include "platform/link_win.h"
#include "platform/long_path_win.h"
#include "platform/remove_tree.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {
namespace {

// One directory being emptied. The handle shares reading and writing but not
// deletion, so while it is open nobody can rename the directory or put a
// link in its place; its contents are listed and deleted by path below it.
struct Level {
    UniqueHandle pin;
    std::filesystem::path path;
    std::vector<FoundEntry> entries;
    std::size_t next = 0;
};

bool is_directory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
bool not_found(std::int64_t code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Removes one entry that is not descended into: a file or a link. A link or junction to a directory is a directory
// entry and is removed with RemoveDirectoryW, which deletes the link, not its target. (Wine cannot delete a Unix link
// to a directory this way: the call fails and the target's contents stay; Windows itself has no such links.)
OsResult<void> delete_entry(const std::filesystem::path& path, DWORD attributes, bool link) {
    if (is_directory(attributes)) {
        if (RemoveDirectoryW(long_path(path).c_str())) return {};
        return std::unexpected(OsError::last());
    }
    if (DeleteFileW(long_path(path).c_str())) return {};
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED || (attributes & FILE_ATTRIBUTE_READONLY) == 0 || link) {
        return std::unexpected(OsError::from_code(error));
    }
    // A read-only file refuses deletion until the attribute is cleared.
    if (!SetFileAttributesW(long_path(path).c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        return std::unexpected(OsError::from_code(error));
    }
    if (DeleteFileW(long_path(path).c_str())) return {};
    return std::unexpected(OsError::last());
}

OsResult<void> delete_directory(const std::filesystem::path& path) {
    if (RemoveDirectoryW(long_path(path).c_str())) return {};
    const DWORD error = GetLastError();
    if (not_found(error)) return {};
    const auto attributes = entry_attributes_no_follow(path);
    if (error != ERROR_ACCESS_DENIED || !attributes || (attributes->attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        !attributes->plain_directory()) {
        return std::unexpected(OsError::from_code(error));
    }
    if (!SetFileAttributesW(long_path(path).c_str(), attributes->attributes & ~FILE_ATTRIBUTE_READONLY)) {
        return std::unexpected(OsError::from_code(error));
    }
    if (RemoveDirectoryW(long_path(path).c_str())) return {};
    return std::unexpected(OsError::last());
}

// Pins and lists a directory that its parent's listing (or, for the root,
// its own attributes) showed as a plain directory. The entry is looked at
// again through the pinning handle: if it was replaced by a link or a file
// in the meantime, it is removed as an entry and no level is returned.
// (Wine opens a Unix link to a directory as the directory itself, so only
// the listing shows such a link; both looks must agree before descending.)
OsResult<std::optional<Level>> enter_directory(const std::filesystem::path& path) {
    UniqueHandle pin(CreateFileW(long_path(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!pin.valid()) return std::unexpected(OsError::last());
    const auto info = entry_attributes(pin.get());
    if (!info) return std::unexpected(info.error());
    if (!info->plain_directory()) {
        pin.reset();
        if (auto deleted = delete_entry(path, info->attributes, info->link); !deleted) {
            return std::unexpected(deleted.error());
        }
        return std::optional<Level>();
    }
    auto entries = find_directory_entries(path);
    if (!entries) return std::unexpected(entries.error());
    return std::optional<Level>(Level{std::move(pin), path, std::move(*entries), 0});
}

}  // namespace

OsResult<void> remove_tree(const std::filesystem::path& path) {
    // The root's own attributes, not following a final link.
    const auto root = entry_attributes_no_follow(path);
    if (!root) return std::unexpected(root.error());
    if (root->link) return delete_entry(path, root->attributes, true);
    if (!root->directory()) return std::unexpected(OsError::from_code(ERROR_DIRECTORY));

    std::vector<Level> stack;
    {
        auto level = enter_directory(path);
        if (!level) return std::unexpected(level.error());
        if (!*level) return {};
        stack.push_back(std::move(**level));
    }

    while (!stack.empty()) {
        Level& top = stack.back();
        if (top.next == top.entries.size()) {
            // Everything below is gone: unpin the directory and remove it.
            const std::filesystem::path done = std::move(top.path);
            stack.pop_back();
            if (auto deleted = delete_directory(done); !deleted) return deleted;
            continue;
        }
        const FoundEntry& entry = top.entries[top.next++];
        const std::filesystem::path child = top.path / entry.name;
        if (!entry.plain_directory()) {
            auto deleted = delete_entry(child, entry.attributes, entry.link());
            if (!deleted && !not_found(deleted.error().code)) return deleted;
            continue;
        }
        auto level = enter_directory(child);
        if (!level) {
            if (not_found(level.error().code)) continue;
            return std::unexpected(level.error());
        }
        // `top` and `entry` are invalidated by the push.
        if (*level) stack.push_back(std::move(**level));
    }
    return {};
}

}  // namespace tessaryndle::platform
