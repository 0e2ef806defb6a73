#include <windows.h>

#include "platform/directory_listing_win.h"
#include "platform/long_path_win.h"
#include "platform/tree_walk.h"

namespace tessaryndle::platform {
namespace {

// Every reparse point is a link here, whatever its tag: a payload never
// holds one, and Wine lists Unix links to directories with the tag 0.
EntryKind kind_from_attributes(DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::Directory;
    return EntryKind::File;
}

}  // namespace

OsResult<std::vector<DirectoryEntry>> list_directory(const std::filesystem::path& path) {
    // FindFirstFileExW would list the target of a link named by `path`.
    const DWORD own = GetFileAttributesW(extended_length_path(path).c_str());
    if (own == INVALID_FILE_ATTRIBUTES) return std::unexpected(OsError::last());
    if (kind_from_attributes(own) != EntryKind::Directory) {
        return std::unexpected(OsError::from_code(ERROR_DIRECTORY));
    }
    auto found = find_directory_entries(path);
    if (!found) return std::unexpected(found.error());
    std::vector<DirectoryEntry> entries;
    entries.reserve(found->size());
    for (auto& entry : *found) {
        entries.push_back(DirectoryEntry{std::move(entry.name), kind_from_attributes(entry.attributes)});
    }
    return entries;
}

OsResult<EntryKind> entry_kind_no_follow(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(extended_length_path(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::unexpected(OsError::last());
    return kind_from_attributes(attributes);
}

}  // namespace tessaryndle::platform
